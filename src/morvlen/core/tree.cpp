// Ticking and halting a whole tree.
#include "morvlen/core/tree.h"

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "morvlen/core/exclusive_holders.h"

namespace nb = nanobind;

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

namespace {

std::atomic<std::uint64_t> next_serial{1};
thread_local std::uint64_t ending_tree = 0;

}  // namespace

Tree::Tree(Key, std::string id, std::unique_ptr<TreeNode> root, Blackboard::Ptr blackboard)
    : id_(std::move(id)), serial_(next_serial++), root_(std::move(root)), blackboard_(std::move(blackboard)) {}

// Nodes still RUNNING when their tree goes away (a stopped engine, a dropped tree)
// are halted, so that they can let go of what they started.
Tree::~Tree() {
    halt_at_end();
    // Freeing a large tree takes a while: other Python threads run meanwhile (nodes
    // and blackboards take the GIL themselves to release Python objects).
    if (nanobind::is_alive() && PyGILState_Check()) {
        nanobind::gil_scoped_release unlocked;
        root_.reset();
    }
}

void Tree::halt_at_end() const noexcept {
    const std::uint64_t outer = std::exchange(ending_tree, serial_);
    try {
        const_cast<Tree*>(this)->halt_all();
    } catch (nb::python_error& error) {
        nb::gil_scoped_acquire gil;
        error.discard_as_unraisable(("halting the nodes of behavior tree '" + id_ + "' as it ends").c_str());
    }
    ending_tree = outer;
}

std::uint64_t Tree::ending_on_this_thread() noexcept { return ending_tree; }

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
    mark_observed_time();
    try {
        return root_->execute_tick();
    } catch (...) {
        // Leave no node RUNNING behind a failed tick: the next tick starts afresh.
        halt_after_failure(std::current_exception());
        throw;
    }
}

void Tree::reset() {
    Exclusive exclusive(*this, "reset");
    mark_observed_time();
    halt_all();
    tick_count_ = 0;
}

void Tree::halt() {
    Exclusive exclusive(*this, "halt");
    halt_all();
}

void Tree::halt_all() {
    // Halting a running node halts its running descendants; completed or
    // interrupted ones are then set back to IDLE. A node whose halt raises is
    // IDLE all the same, the others are still halted, and the first error passes on.
    std::exception_ptr first_error;
    const auto all = walk();
    for (TreeNode* node : all) {
        if (node->status() != NodeStatus::RUNNING) continue;
        try {
            node->halt_node();
        } catch (...) {
            if (!first_error) first_error = std::current_exception();
        }
    }
    for (TreeNode* node : all) {
        node->reset_status();
        node->forget_progress();
    }
    if (first_error) std::rethrow_exception(first_error);
}

namespace {

// `error` as the Python exception its caller gets: a C++ error translated as the
// bindings translate it, by a throwaway function that rethrows it. Needs the GIL.
nb::python_error as_python_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error& python) {
        return python;
    } catch (...) {
    }
    try {
        nb::cpp_function([error] { std::rethrow_exception(error); })();
    } catch (nb::python_error& python) {
        return python;
    }
    throw std::logic_error("a rethrowing function returned");
}

}  // namespace

void Tree::halt_after_failure(const std::exception_ptr& failure) {
    try {
        halt_all();
    } catch (nb::python_error& halting) {
        // As in Python's own `except: cleanup(); raise`: an error raised by a halt
        // hook replaces the tick's error and keeps it as its __context__.
        nb::gil_scoped_acquire gil;
        const nb::python_error original = as_python_error(failure);
        PyException_SetContext(halting.value().ptr(), nb::borrow(original.value()).release().ptr());
        throw;
    } catch (const std::exception&) {
        // The runtime's own error while halting (an _onHalted script that fails) is a
        // consequence of the tick's error: that one reaches the caller, with a note.
        nb::gil_scoped_acquire gil;
        nb::python_error original = as_python_error(failure);
        const nb::python_error halting = as_python_error(std::current_exception());
        const nb::handle type = halting.type();
        original.value().attr("add_note")(nb::str("{}: {} (raised while the tree was halted after this error)")
                                              .format(type.attr("__qualname__"), halting.value()));
        throw original;
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
