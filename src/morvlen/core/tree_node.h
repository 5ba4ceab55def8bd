#pragma once
// The node base classes of the runtime. Built-in nodes derive from ControlNode,
// DecoratorNode or LeafNode and implement tick() (and halt() where they hold state).
//
// Ticking runs without the GIL: a node takes it only where it touches Python objects
// (ports take it themselves; Python actions take it around their tick function).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nanobind/nanobind.h>

#include "morvlen/core/blackboard.h"
#include "morvlen/core/errors.h"
#include "morvlen/core/node_path.h"
#include "morvlen/core/observe/recorder.h"
#include "morvlen/core/ports.h"
#include "morvlen/core/python_ref.h"
#include "morvlen/core/status.h"
#include "morvlen/core/wake_signal.h"

namespace morvlen::bt {

namespace scripting {
class NodeScripts;
}

using Clock = std::chrono::steady_clock;

struct NodeManifest {
    std::string id;  // registration id, the XML tag (compact form) or ID attribute
    NodeKind kind = NodeKind::Action;
    PortList ports;
    std::string description;
    int min_children = 0;  // checked when the tree is built
    int max_children = 0;  // -1: no upper bound
};

// Everything a node is built from.
struct NodeConfig {
    std::string name;  // the `name` attribute, or the registration id
    NodePath path;  // unique within the tree, e.g. "MainTree/root_sequence/Sleep#2"
    // Shared with the registry, so that a tree outlives the factory that built it.
    std::shared_ptr<const NodeManifest> manifest;
    Blackboard::Ptr blackboard;
    // Attribute text by port name, with declared defaults filled in for absent ports.
    std::map<std::string, std::string, std::less<>> ports;
    // Shared by every node of one tree (the builder sets it); a node built without
    // one gets its own.
    std::shared_ptr<WakeSignal> wake_signal;
    // Condition attributes and script ports, compiled; null when the node has none.
    std::shared_ptr<const scripting::NodeScripts> scripts;
};

class TreeNode {
public:
    explicit TreeNode(NodeConfig config);
    virtual ~TreeNode();
    TreeNode(const TreeNode&) = delete;
    TreeNode& operator=(const TreeNode&) = delete;

    // Ticks the node: checks its pre-conditions (which may decide the status without
    // ticking), runs tick(), refuses IDLE as a result (NodeLogicError), stores the
    // status and runs its post-conditions. Inline, so that a parent ticking a plain
    // child pays one byte test and one compare beyond the child's own tick.
    NodeStatus execute_tick() {
        if (hooks_.load(std::memory_order_relaxed) & kConditions) [[unlikely]] return execute_tick_with_conditions();
        const NodeStatus result = tick();
        if (result <= settled_out_of_line_.load(std::memory_order_relaxed)) [[unlikely]] return settle_result(result);
        status_.store(result, std::memory_order_relaxed);
        return result;
    }
    // Halts the node if it is RUNNING (halt(), then its _onHalted script), and sets it
    // to IDLE. Halting an idle or completed node only resets it.
    void halt_node() {
        if (hooks_.load(std::memory_order_relaxed) != 0 || status() == NodeStatus::RUNNING) [[unlikely]] {
            halt_node_hooked();
            return;
        }
        status_.store(NodeStatus::IDLE, std::memory_order_relaxed);
    }
    // Sets a completed node back to IDLE without halting.
    void reset_status() noexcept { change_status<observe::Change::Reset>(NodeStatus::IDLE); }
    // Drops what a node remembers beyond its status (SequenceWithMemory's place
    // after a FAILURE), so that a reset tree starts from scratch.
    virtual void forget_progress() noexcept {}

    // Readable from any thread while the tree ticks.
    NodeStatus status() const noexcept { return status_.load(std::memory_order_relaxed); }
    const std::string& name() const noexcept { return config_.name; }
    const std::string& registration_name() const noexcept { return config_.manifest->id; }
    std::string full_path() const { return config_.path.str(); }
    NodeKind kind() const noexcept { return config_.manifest->kind; }
    const NodeConfig& config() const noexcept { return config_; }
    // How this node's tree is woken while a tick loop waits (see wake_signal.h).
    const std::shared_ptr<WakeSignal>& wake_signal() const noexcept { return config_.wake_signal; }
    // True for an Action or Condition that, while RUNNING, wakes the tree itself
    // (wake() or wake_at()), so that the tick loop need not poll it.
    virtual bool wakes_tree() const noexcept { return false; }

    // Child nodes, for walking the tree (status reports, halting).
    virtual std::vector<TreeNode*> children() const { return {}; }
    // The Python function the node calls, shared with the registration it came
    // from (garbage collection of their owners); null for nodes calling none.
    virtual const PyRef* python_function() const noexcept { return nullptr; }
    // Visits the Python objects this node alone holds (a node handle, a stateful
    // node's instance), for the garbage collector. Needs the GIL.
    virtual int traverse_own(visitproc /*visit*/, void* /*arg*/) const { return 0; }

    // Reads an input (or inout) port: a literal is converted from its text, a
    // "{key}" pointer reads the blackboard entry (converting a str entry from text).
    // Supported T: std::string, int64_t, double, bool, NodeStatus, nanobind::object,
    // std::vector<std::string> (a ";"-separated queue).
    // Throws PortError naming node and port when the port is not set, the entry was
    // never written, or the value does not convert.
    template <class T> T get_input(std::string_view port) const;
    // As get_input, but nullopt when the port is unset or its entry was never written.
    template <class T> std::optional<T> try_get_input(std::string_view port) const;
    // Writes an output (or inout) port through its "{key}" pointer. PortError when
    // the port is not a pointer.
    void set_output(std::string_view port, nanobind::object value);
    // The blackboard key a port points to ("{key}" -> "key", "{=}" -> the port name),
    // or nullopt when the port holds a literal or is not set.
    std::optional<std::string> port_key(std::string_view port) const;

    // Reports this node's status changes through `probe` (null: stop).
    void attach_probe(observe::NodeProbe* probe) noexcept;

protected:
    virtual NodeStatus tick() = 0;
    // Called by halt_node() when the node is RUNNING: stop children, clear timers.
    virtual void halt() {}
    // Sets the status seen by the parent while the node works (e.g. RUNNING before
    // ticking the first child).
    void set_status(NodeStatus status) noexcept { change_status<observe::Change::Set>(status); }

private:
    // What makes a tick (conditions) or a halt (conditions, an observer) leave the
    // inline path; one byte, tested first.
    enum Hook : std::uint8_t { kConditions = 1, kObserved = 2 };

    // The slow paths of execute_tick() and halt_node(), out of line and split, so
    // that an observed tree's common cases pass through small functions.
    NodeStatus execute_tick_with_conditions();
    // Stores and records a result; refuses IDLE, and a RUNNING leaf that will not
    // wake the tree itself asks the tick loop to poll it.
    NodeStatus settle_result(NodeStatus result);
    NodeStatus settle_unfinished(NodeStatus result);
    void halt_node_hooked();
    void halt_running();
    [[noreturn]] void refuse_idle_result() const;

    // Every status change outside the inline paths passes here, so that an
    // observed tree sees each one.
    template <observe::Change C> void change_status(NodeStatus to) noexcept {
        if (observe::NodeProbe* probe = probe_.load(std::memory_order_acquire)) [[unlikely]] {
            record_change<C>(*probe, to);
            return;
        }
        status_.store(to, std::memory_order_relaxed);
    }
    // Sets the status and records the change; it lies on the unlikely side of the
    // test above, out of the way of a tick while the tree is not observed.
    template <observe::Change C> [[gnu::always_inline]] void record_change(observe::NodeProbe& probe, NodeStatus to) noexcept {
        const NodeStatus from = status_.load(std::memory_order_relaxed);
        status_.store(to, std::memory_order_relaxed);
        probe.recorder->record<C>(probe, from, to);
    }

    NodeConfig config_;
    std::atomic<NodeStatus> status_{NodeStatus::IDLE};
    std::atomic<std::uint8_t> hooks_{0};
    // Results up to this one leave execute_tick()'s inline path: IDLE and RUNNING
    // always, every result (up to SKIPPED, the last status) while observed.
    std::atomic<NodeStatus> settled_out_of_line_{NodeStatus::RUNNING};
    std::atomic<observe::NodeProbe*> probe_{nullptr};
};

class ControlNode : public TreeNode {
public:
    using TreeNode::TreeNode;
    // Room for `count` children, so that a built tree holds no spare capacity.
    void reserve_children(size_t count) { children_.reserve(count); }
    void add_child(std::unique_ptr<TreeNode> child) { children_.push_back(std::move(child)); }
    std::vector<TreeNode*> children() const override;
    size_t child_count() const noexcept { return children_.size(); }
    TreeNode& child(size_t i) const { return *children_.at(i); }

protected:
    // Halts every child from index `first` on.
    void halt_children(size_t first = 0);
    void halt_child(size_t i) { children_.at(i)->halt_node(); }
    // The default halt of controls: halt all children.
    void halt() override { halt_children(); }

private:
    std::vector<std::unique_ptr<TreeNode>> children_;
};

class DecoratorNode : public TreeNode {
public:
    using TreeNode::TreeNode;
    void set_child(std::unique_ptr<TreeNode> child) { child_ = std::move(child); }
    std::vector<TreeNode*> children() const override;

protected:
    TreeNode& child() const { return *child_; }
    void halt_child() { child_->halt_node(); }
    void halt() override { halt_child(); }

private:
    std::unique_ptr<TreeNode> child_;
};

class LeafNode : public TreeNode {
public:
    using TreeNode::TreeNode;
};

// Called without the GIL (trees build while other Python threads run): a builder
// that makes or touches Python objects takes it itself.
using NodeBuilder = std::function<std::unique_ptr<TreeNode>(NodeConfig config)>;

// Node types known to a factory. The built-in nodes form one registry shared by the
// whole process; each factory keeps only its registered actions, in a registry over it.
class NodeRegistry {
public:
    // Every built-in node of the version 4 format (controls, decorators and leaves;
    // SubTree is structural and handled by the tree builder). Built on first use,
    // never changed afterwards: its manifests live as long as the process.
    static const NodeRegistry& builtins();

    // An empty registry over `base` (which must outlive it): the base's node types
    // are known here too, and their ids cannot be registered again.
    explicit NodeRegistry(const NodeRegistry* base = nullptr) noexcept : base_(base) {}

    // Throws TreeBuildError when the id is already registered, here or in the base.
    void add(NodeManifest manifest, NodeBuilder builder);
    template <class Node> void add(NodeManifest manifest) {
        add(std::move(manifest), [](NodeConfig config) { return std::make_unique<Node>(std::move(config)); });
    }
    const NodeManifest* manifest(std::string_view id) const;
    std::unique_ptr<TreeNode> build(std::string_view id, NodeConfig config) const;
    // Registration ids in registration order, the base's first.
    std::vector<std::string> ids() const;
    // The ids registered in this registry itself, in registration order.
    std::vector<std::string> own_ids() const;

private:
    struct Entry {
        std::shared_ptr<const NodeManifest> manifest;  // shared with the nodes built from it
        NodeBuilder builder;
    };
    // The entry of `id`, in this registry or its base; nullptr when unknown.
    const Entry* find(std::string_view id) const;

    const NodeRegistry* base_;
    std::map<std::string, Entry, std::less<>> entries_;
    std::vector<const NodeManifest*> order_;
};

}  // namespace morvlen::bt
