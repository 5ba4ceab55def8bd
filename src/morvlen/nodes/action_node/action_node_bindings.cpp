// The binding of morvlen.nodes.action_node.SimpleActionNode.
#include "morvlen/core/bindings.h"
#include "morvlen/nodes/action_node/python_action.h"

namespace nb = nanobind;

namespace morvlen::bt {

void bind_action_node(nb::module_& m) {
    nb::class_<SimpleActionNode> base(
        m, "SimpleActionNode",
        "Base class of action node classes. A subclass defines\n\n"
        "    ports = [{\"name\": ..., \"type\": ..., \"direction\": ..., \"description\": ...}, ...]\n\n"
        "    @staticmethod\n"
        "    def tick(node: TreeNode) -> NodeStatus: ...\n\n"
        "and is registered with register_action_class. Port types: \"string\", \"object\", \"int\", \"double\", "
        "\"bool\"; directions: \"input\", \"output\", \"inout\"; an optional \"default\" gives the port's text when "
        "the XML leaves it out. tick returns NodeStatus.SUCCESS, FAILURE or RUNNING (ticked again next tick); anything "
        "else raises NodeLogicError. "
        "The subclass's docstring describes the action in BehaviorTreeFactory.tree_nodes_model.");
    // No `ports` here: a subclass without its own is registered with a new empty list.
    base.def(nb::init<>());
}

}  // namespace morvlen::bt
