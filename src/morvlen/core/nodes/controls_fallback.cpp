// Fallback and ReactiveFallback.
#include "morvlen/core/nodes/builtin_nodes.h"
#include "morvlen/core/nodes/ordered_controls.h"

namespace morvlen::bt::nodes {

void register_fallback_nodes(NodeRegistry& registry) {
    registry.add(control_manifest("Fallback",
                                  "Ticks its children in order, within one tick, while they fail. A RUNNING child "
                                  "makes it return RUNNING, and the next tick resumes at that child. A SUCCESS resets "
                                  "every child and returns SUCCESS; the next tick starts over from the first child. "
                                  "FAILURE when all children failed. SKIPPED children are passed over; SKIPPED when "
                                  "every child was skipped."),
                 [](NodeConfig config) {
                     return std::make_unique<OrderedControl>(std::move(config), OrderPolicy{NodeStatus::FAILURE, false});
                 });
    registry.add(control_manifest("ReactiveFallback",
                                  "Ticks its children in order from the first one on every tick. A SUCCESS halts every "
                                  "child and returns SUCCESS. A RUNNING child makes it return RUNNING: the children "
                                  "before it are reset and any other running child is halted, so at most one child "
                                  "runs at a time. FAILURE when all children failed. SKIPPED children are passed over; "
                                  "SKIPPED when every child was skipped."),
                 [](NodeConfig config) { return std::make_unique<ReactiveControl>(std::move(config), NodeStatus::FAILURE); });
}

}  // namespace morvlen::bt::nodes
