// The registry of every built-in node of the version 4 format.
#include "morvlen/core/nodes/builtin_nodes.h"

namespace morvlen::bt {
namespace {

NodeRegistry make_builtin_registry() {
    NodeRegistry registry;
    nodes::register_sequence_nodes(registry);
    nodes::register_fallback_nodes(registry);
    nodes::register_parallel_nodes(registry);
    nodes::register_branch_nodes(registry);
    nodes::register_decorator_nodes(registry);
    nodes::register_timed_decorator_nodes(registry);
    nodes::register_loop_nodes(registry);
    nodes::register_leaf_nodes(registry);
    nodes::register_script_nodes(registry);
    return registry;
}

}  // namespace

const NodeRegistry& NodeRegistry::builtins() {
    // One copy per process (a copy costs some 30 KiB, and a program may run
    // thousands of trees); the initialisation of a local static is thread-safe, and
    // the builders hold no Python objects, so it may outlive the interpreter.
    static const NodeRegistry registry = make_builtin_registry();
    return registry;
}

}  // namespace morvlen::bt
