#pragma once
// What a Python tick function receives: a reference to its node that stays safe
// to hold after the tree is gone (it then raises instead of touching freed memory).

#include <memory>
#include <utility>

#include "morvlen/core/errors.h"
#include "morvlen/core/tree.h"

namespace morvlen::bt {

class NodeHandle {
public:
    NodeHandle(std::weak_ptr<const Tree> tree, TreeNode* node) : tree_(std::move(tree)), node_(node) {}

    // The node, with its tree kept alive for as long as the returned owner lives.
    std::pair<std::shared_ptr<const Tree>, TreeNode*> lock() const {
        auto tree = tree_.lock();
        if (!tree) throw BehaviorTreeError("this node handle outlived its tree: the tree it belonged to no longer exists");
        return {std::move(tree), node_};
    }

private:
    std::weak_ptr<const Tree> tree_;
    TreeNode* node_;
};

}  // namespace morvlen::bt
