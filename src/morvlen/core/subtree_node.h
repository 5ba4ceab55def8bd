#pragma once
// The SubTree node: runs the root of another <BehaviorTree> instance, which has a
// blackboard of its own (wired to the parent's by the tree builder).

#include "morvlen/core/tree_node.h"

namespace morvlen::bt {

class SubTreeNode final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;
    static const std::shared_ptr<const NodeManifest>& manifest();

protected:
    NodeStatus tick() override;
};

}  // namespace morvlen::bt
