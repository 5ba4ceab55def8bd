// The bindings of morvlen.nodes.action_node: the base classes of node classes.
#include "morvlen/core/bindings.h"
#include "morvlen/nodes/action_node/node_class_tick.h"
#include "morvlen/nodes/action_node/python_action.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvlen::bt {
namespace {

// The C++ sides of the Python base classes: only base classes, never used from C++.
struct StatefulActionNode : SimpleActionNode {};
struct ConditionNode : SimpleActionNode {};

void bind_simple_action_node(nb::module_& m) {
    nb::class_<SimpleActionNode> base(
        m, "SimpleActionNode",
        "Base class of action node classes. A subclass defines\n\n"
        "    ports = [{\"name\": ..., \"type\": ..., \"direction\": ..., \"description\": ...}, ...]\n\n"
        "    @staticmethod\n"
        "    def tick(node: TreeNode) -> NodeStatus: ...\n\n"
        "and is registered with register_action_class. Port types: \"string\", \"object\", \"int\", \"double\", "
        "\"bool\"; directions: \"input\", \"output\", \"inout\"; an optional \"default\" gives the port's text when "
        "the XML leaves it out. tick returns NodeStatus.SUCCESS, FAILURE or RUNNING (ticked again next tick); anything "
        "else raises NodeLogicError. An `async def tick(node)` makes an async action: the coroutine runs on the "
        "runtime's event loop, the node is RUNNING meanwhile, and its return value is the status. "
        "The subclass's docstring describes the action in BehaviorTreeFactory.tree_nodes_model.");
    // No `ports` here: a subclass without its own is registered with a new empty list.
    base.def(nb::init<>());
}

// A base class whose subclasses each get a NodeClassTick of `kind` when created.
template <class Base> nb::class_<Base, SimpleActionNode> bind_class_kind(nb::module_& m, const char* name, const char* doc,
                                                                          ClassKind kind) {
    nb::class_<Base, SimpleActionNode> base(m, name, doc);
    base.def(nb::init<>());
    install_class_tick(base, kind);
    return base;
}

void bind_stateful_action_node(nb::module_& m) {
    bind_class_kind<StatefulActionNode>(
        m, "StatefulActionNode",
        "Base class of actions that keep state between ticks. A subclass defines\n\n"
        "    def on_start(self, node: TreeNode) -> NodeStatus: ...    # the tick that starts the node\n"
        "    def on_running(self, node: TreeNode) -> NodeStatus: ...  # each later tick while RUNNING\n"
        "    def on_halted(self, node: TreeNode) -> None: ...         # halted while RUNNING (optional)\n\n"
        "and its ports, and is registered with register_action_class. The runtime makes one instance per node when a "
        "tree is built (the class is called with no arguments), so `self` holds that node's state. on_halted runs "
        "when a parent, a Timeout, a reset or a stop halts the node while it is RUNNING.",
        ClassKind::Stateful)
        .def(
            "on_halted", [](nb::handle, nb::handle) {}, "node"_a,
            "Called when the node is halted while RUNNING; does nothing unless overridden.");
}

void bind_condition_node(nb::module_& m) {
    bind_class_kind<ConditionNode>(
        m, "ConditionNode",
        "Base class of conditions. A subclass defines ports and\n\n"
        "    @staticmethod\n"
        "    def tick(node: TreeNode) -> NodeStatus: ...\n\n"
        "returning NodeStatus.SUCCESS or FAILURE (RUNNING raises NodeLogicError naming the node), and is registered "
        "with register_action_class. It is a Condition in tree_nodes_model and may be written <Condition ID=...>.",
        ClassKind::Condition);
}

}  // namespace

void bind_action_node(nb::module_& m) {
    bind_node_class_tick(m);
    bind_simple_action_node(m);
    bind_stateful_action_node(m);
    bind_condition_node(m);
}

}  // namespace morvlen::bt
