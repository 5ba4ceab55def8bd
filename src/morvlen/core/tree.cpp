// Ticking and halting a whole tree.
#include "morvlen/core/tree.h"

#include <functional>

#include "morvlen/core/exclusive_holders.h"

namespace morvlen::bt {

// Marks the tree busy for the calling thread for the duration of one call.
class Tree::Exclusive {
public:
    Exclusive(Tree& tree, const char* action) : tree_(tree) {
        std::thread::id idle{};
        if (!tree_.busy_with_.compare_exchange_strong(idle, std::this_thread::get_id())) {
            const bool same_thread = idle == std::this_thread::get_id();
            throw BehaviorTreeError("tree '" + tree_.id_ + "': cannot " + action + " while " +
                                    (same_thread ? "a tick of this same tree is in progress on this thread"
                                                 : "another thread is ticking or resetting it") +
                                    " (a tree is driven by one thread at a time)");
        }
    }
    ~Exclusive() { tree_.busy_with_.store(std::thread::id{}); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

private:
    Tree& tree_;
};

Tree::Tree(Key, std::string id, std::unique_ptr<TreeNode> root, Blackboard::Ptr blackboard)
    : id_(std::move(id)), root_(std::move(root)), blackboard_(std::move(blackboard)) {}

Tree::~Tree() {
    // Freeing a large tree takes a while: other Python threads run meanwhile (nodes
    // and blackboards take the GIL themselves to release Python objects).
    if (nanobind::is_alive() && PyGILState_Check()) {
        nanobind::gil_scoped_release unlocked;
        root_.reset();
    }
}

std::shared_ptr<Tree> Tree::create(std::string id, std::unique_ptr<TreeNode> root, Blackboard::Ptr blackboard) {
    auto tree = std::make_shared<Tree>(Key{}, std::move(id), std::move(root), std::move(blackboard));
    const std::weak_ptr<const Tree> weak = tree;
    for (TreeNode* node : tree->walk()) {
        if (auto* bound = dynamic_cast<TreeBound*>(node)) bound->bind_tree(weak);
    }
    return tree;
}

NodeStatus Tree::tick_once() {
    Exclusive exclusive(*this, "tick");
    ++tick_count_;
    if (observe::TreeRecorder* recorder = this->recorder()) recorder->mark_time(tick_count_.load());
    try {
        return root_->execute_tick();
    } catch (...) {
        // Leave no node RUNNING behind a failed tick: the next tick starts afresh.
        halt_all();
        throw;
    }
}

void Tree::reset() {
    Exclusive exclusive(*this, "reset");
    if (observe::TreeRecorder* recorder = this->recorder()) recorder->mark_time(tick_count_.load());
    halt_all();
    tick_count_ = 0;
}

void Tree::halt_all() {
    // Halting a running node halts its running descendants; completed or
    // interrupted ones are then set back to IDLE.
    const auto all = walk();
    for (TreeNode* node : all) {
        if (node->status() == NodeStatus::RUNNING) node->halt_node();
    }
    for (TreeNode* node : all) {
        node->reset_status();
        node->forget_progress();
    }
}

std::vector<TreeNode*> Tree::walk() const {
    std::vector<TreeNode*> result;
    std::function<void(TreeNode*)> visit = [&](TreeNode* node) {
        result.push_back(node);
        for (TreeNode* child : node->children()) visit(child);
    };
    visit(root_.get());
    return result;
}

std::vector<const TreeNode*> Tree::nodes() const {
    const auto all = walk();
    return {all.begin(), all.end()};
}

namespace {

ExclusiveHolders held_by_wrapper(const Tree& tree) {
    ExclusiveHolders holders;
    holders.add_tree(tree, tree.weak_from_this().use_count());
    return holders;
}

}  // namespace

int Tree::traverse(visitproc visit, void* arg) const { return held_by_wrapper(*this).traverse(visit, arg); }

void Tree::clear() const { held_by_wrapper(*this).clear_boards(); }

std::vector<NodeSnapshot> Tree::snapshot() const {
    std::vector<NodeSnapshot> result;
    for (const TreeNode* node : nodes()) {
        result.push_back({node->full_path(), node->name(), node->registration_name(), node->status()});
    }
    return result;
}

}  // namespace morvlen::bt
