#pragma once
// A built tree: its nodes, its root blackboard and the guard that lets one thread
// at a time tick or halt it.

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "morvlen/core/blackboard.h"
#include "morvlen/core/tree_node.h"

namespace morvlen::bt {

class Tree;

// Implemented by nodes that hand out references to their tree (Python actions give
// their tick function a node handle that must notice when the tree is gone).
class TreeBound {
public:
    virtual void bind_tree(const std::weak_ptr<const Tree>& tree) = 0;

protected:
    ~TreeBound() = default;
};

struct NodeSnapshot {
    std::string path;
    std::string name;
    std::string registration_id;
    NodeStatus status = NodeStatus::IDLE;
};

class Tree : public std::enable_shared_from_this<Tree> {
    // Only create() builds trees; the key leaves the constructor public for
    // make_shared (one allocation for the tree and its reference counts).
    struct Key {
        explicit Key() = default;
    };

public:
    // Takes the root node and tells every TreeBound node about the new tree.
    static std::shared_ptr<Tree> create(std::string id, std::unique_ptr<TreeNode> root, Blackboard::Ptr blackboard);
    Tree(Key, std::string id, std::unique_ptr<TreeNode> root, Blackboard::Ptr blackboard);
    ~Tree();
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // Ticks the root once. When the tick throws, every running node is halted (the
    // tree is left IDLE) and the exception passes on. Call without the GIL.
    // Throws BehaviorTreeError when another call is ticking or halting the tree.
    NodeStatus tick_once();
    // Halts every running node and sets every node to IDLE; the blackboard is kept
    // and the tick count starts again from 0.
    void reset();
    // Halts every running node and sets every node to IDLE, keeping the tick count
    // (a tick loop that was cancelled).
    void halt();

    const std::string& id() const noexcept { return id_; }
    // A number no other tree of this process has.
    std::uint64_t serial() const noexcept { return serial_; }
    // The serial of the tree this thread is destroying, or 0. While a tree ends it
    // halts its running nodes, whose handles stay usable for that (in on_halted).
    static std::uint64_t ending_on_this_thread() noexcept;
    NodeStatus status() const noexcept { return root_->status(); }
    std::int64_t tick_count() const noexcept { return tick_count_.load(); }
    const Blackboard::Ptr& blackboard() const noexcept { return blackboard_; }
    // Shared with every node: how a tick loop waiting on this tree is woken.
    const std::shared_ptr<WakeSignal>& wake_signal() const noexcept { return root_->wake_signal(); }
    // Every node, depth first, parents before children, SubTree contents included.
    std::vector<const TreeNode*> nodes() const;
    std::vector<NodeSnapshot> snapshot() const;
    // For the Python object wrapping this tree, which holds one shared_ptr to it:
    // the blackboard entries and tick functions the tree alone holds, while that
    // object is the tree's only owner (see ExclusiveHolders). Need the GIL.
    int traverse(visitproc visit, void* arg) const;
    void clear() const;
    // Halts the running nodes of a tree that is ending; an error is reported to
    // sys.unraisablehook. Run by the destructor, and by the finaliser of an owner
    // that is the tree's only one: the garbage collector runs finalisers before it
    // clears anything, so the nodes' Python objects are still whole. Needs the GIL
    // only where Python nodes take it.
    void halt_at_end() const noexcept;
    void finalize() const noexcept {
        if (weak_from_this().use_count() == 1) halt_at_end();
    }

    // Observation (defined in observe/): records status changes and statistics
    // from now on. The recorder is made on the first call, with room for
    // `capacity` changes, and kept for the tree's life. Any thread.
    observe::TreeRecorder& start_observing(std::size_t capacity);
    void stop_observing() noexcept;
    bool observed() const noexcept { return observed_.load(std::memory_order_relaxed); }
    // The recorder once the tree was observed (also after stop_observing, for
    // reading what was recorded), else null. Any thread.
    const observe::TreeRecorder* recorder() const noexcept { return recorder_.load(std::memory_order_acquire); }
    observe::TreeRecorder* recorder() noexcept { return recorder_.load(std::memory_order_acquire); }

private:
    class Exclusive;
    std::vector<TreeNode*> walk() const;
    void halt_all();
    void halt_after_failure(const std::exception_ptr& failure);
    // Gives the changes that follow the time and tick count they carry, while observed.
    void mark_observed_time() noexcept;

    std::string id_;
    std::uint64_t serial_;
    std::unique_ptr<TreeNode> root_;
    Blackboard::Ptr blackboard_;
    std::atomic<std::thread::id> busy_with_{};
    std::atomic<std::int64_t> tick_count_{0};
    std::mutex observe_mutex_;
    std::unique_ptr<observe::TreeRecorder> recorder_storage_;
    std::atomic<observe::TreeRecorder*> recorder_{nullptr};
    std::atomic<bool> observed_{false};
};

}  // namespace morvlen::bt
