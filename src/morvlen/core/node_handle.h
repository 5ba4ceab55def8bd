#pragma once
// What a Python tick function receives: a reference to its node that stays safe
// to hold after the tree is gone (it then raises instead of touching freed memory).

#include <cstdint>
#include <memory>
#include <utility>

#include "morvlen/core/errors.h"
#include "morvlen/core/tree.h"

namespace morvlen::bt {

// The node of a handle, with its tree kept alive for as long as this lives, so a
// call through a temporary one is safe: handle.lock()->name().
class LockedNode {
public:
    LockedNode(std::shared_ptr<const Tree> tree, TreeNode* node) : tree_(std::move(tree)), node_(node) {}
    TreeNode* operator->() const noexcept { return node_; }

private:
    std::shared_ptr<const Tree> tree_;
    TreeNode* node_;
};

class NodeHandle {
public:
    NodeHandle(std::weak_ptr<const Tree> tree, TreeNode* node, std::uint64_t tree_serial)
        : tree_(std::move(tree)), node_(node), tree_serial_(tree_serial) {}

    // BehaviorTreeError once the tree is gone; usable while this thread destroys
    // the tree and halts its nodes.
    LockedNode lock() const {
        auto tree = tree_.lock();
        if (!tree && tree_serial_ != Tree::ending_on_this_thread()) {
            throw BehaviorTreeError("this node handle outlived its tree: the tree it belonged to no longer exists");
        }
        return {std::move(tree), node_};
    }

private:
    std::weak_ptr<const Tree> tree_;
    TreeNode* node_;
    std::uint64_t tree_serial_;
};

}  // namespace morvlen::bt
