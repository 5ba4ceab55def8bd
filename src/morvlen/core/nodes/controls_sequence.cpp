// Sequence, SequenceWithMemory and ReactiveSequence.
#include "morvlen/core/nodes/builtin_nodes.h"
#include "morvlen/core/nodes/ordered_controls.h"

namespace morvlen::bt::nodes {

void register_sequence_nodes(NodeRegistry& registry) {
    registry.add(control_manifest("Sequence",
                                  "Ticks its children in order, within one tick, while they succeed. A RUNNING child "
                                  "makes it return RUNNING, and the next tick resumes at that child without "
                                  "re-ticking the earlier ones. A FAILURE resets every child and returns FAILURE; the "
                                  "next tick starts over from the first child. SUCCESS when all children succeeded. "
                                  "SKIPPED children are passed over; SKIPPED when every child was skipped."),
                 [](NodeConfig config) {
                     return std::make_unique<OrderedControl>(std::move(config), OrderPolicy{NodeStatus::SUCCESS, false});
                 });
    registry.add(control_manifest("SequenceWithMemory",
                                  "Like Sequence, except that after a FAILURE it remembers the failed child: the next "
                                  "tick resumes at that child and does not re-tick the children that succeeded before "
                                  "it. The memory lasts until the sequence completes with SUCCESS or is halted while "
                                  "RUNNING, or the tree is reset."),
                 [](NodeConfig config) {
                     return std::make_unique<OrderedControl>(std::move(config), OrderPolicy{NodeStatus::SUCCESS, true});
                 });
    registry.add(control_manifest("ReactiveSequence",
                                  "Ticks its children in order from the first one on every tick, so that earlier "
                                  "children (typically conditions) are re-evaluated while a later one runs. A FAILURE "
                                  "halts every child and returns FAILURE. A RUNNING child makes it return RUNNING: the "
                                  "children before it are reset and any other running child is halted, so at most one "
                                  "child runs at a time. SUCCESS when all children succeeded. SKIPPED children are "
                                  "passed over; SKIPPED when every child was skipped."),
                 [](NodeConfig config) { return std::make_unique<ReactiveControl>(std::move(config), NodeStatus::SUCCESS); });
}

}  // namespace morvlen::bt::nodes
