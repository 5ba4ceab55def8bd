#pragma once
// Stateful actions: a StatefulActionNode subclass, instantiated once per tree node
// when the tree is built, so that `self` holds that node's state. on_start(node)
// runs on the tick that starts the node, on_running(node) on each later tick while
// it is RUNNING, on_halted(node) when it is halted while RUNNING.

#include <memory>

#include "morvlen/nodes/action_node/node_class_tick.h"
#include "morvlen/nodes/action_node/python_node.h"

namespace morvlen::bt {

class PythonStatefulNode final : public PythonNode {
public:
    // `class_tick` is the registered NodeClassTick. Needs the GIL (makes the instance).
    PythonStatefulNode(NodeConfig config, PyRef class_tick);

protected:
    NodeStatus tick() override;
    void halt() override;
};

// TypeError naming the class when it lacks on_start or on_running.
void check_stateful_class(const NodeClassTick& tick);
std::unique_ptr<TreeNode> make_stateful_node(NodeConfig config, PyRef class_tick);

}  // namespace morvlen::bt
