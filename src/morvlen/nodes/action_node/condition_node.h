#pragma once
// Conditions: a ConditionNode subclass's tick(node) answers SUCCESS or FAILURE
// within the tick; RUNNING is a NodeLogicError naming the node. Registered as a
// Condition (tree_nodes_model, the explicit form <Condition ID="...">).

#include <memory>

#include "morvlen/nodes/action_node/python_node.h"

namespace morvlen::bt {

class PythonConditionNode final : public PythonNode {
public:
    using PythonNode::PythonNode;

protected:
    NodeStatus tick() override;
};

std::unique_ptr<TreeNode> make_condition_node(NodeConfig config, PyRef class_tick);

}  // namespace morvlen::bt
