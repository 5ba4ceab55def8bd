// The registration of every built-in node of the version 4 format.
#include "morvlen/core/nodes/builtin_nodes.h"

namespace morvlen::bt {

void register_builtin_nodes(NodeRegistry& registry) {
    nodes::register_sequence_nodes(registry);
    nodes::register_fallback_nodes(registry);
    nodes::register_parallel_nodes(registry);
    nodes::register_branch_nodes(registry);
    nodes::register_decorator_nodes(registry);
    nodes::register_timed_decorator_nodes(registry);
    nodes::register_loop_nodes(registry);
    nodes::register_leaf_nodes(registry);
}

}  // namespace morvlen::bt
