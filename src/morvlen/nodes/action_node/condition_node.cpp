// Conditions: a tick that answers at once.
#include "morvlen/nodes/action_node/condition_node.h"

#include "morvlen/nodes/action_node/node_class_tick.h"

namespace nb = nanobind;

namespace morvlen::bt {

NodeStatus PythonConditionNode::tick() {
    nb::gil_scoped_acquire gil;
    const nb::object& function = nb::cast<const NodeClassTick&>(registered()).function;
    return checked_status(call(function, "the condition's tick"), "the condition's tick", false);
}

std::unique_ptr<TreeNode> make_condition_node(NodeConfig config, PyRef class_tick) {
    return std::make_unique<PythonConditionNode>(std::move(config), std::move(class_tick));
}

}  // namespace morvlen::bt
