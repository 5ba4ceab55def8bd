#pragma once
// Sequences and fallbacks are one algorithm seen from two sides: children are ticked
// in order while they return `proceed_on` (SUCCESS for a sequence, FAILURE for a
// fallback); the other completed status ends the node with that status. A child
// returning SKIPPED is passed over; when every child was skipped the node is SKIPPED.

#include <cstddef>

#include "morvlen/core/tree_node.h"

namespace morvlen::bt::nodes {

struct OrderPolicy {
    NodeStatus proceed_on = NodeStatus::SUCCESS;
    // SequenceWithMemory: after the stopping status, the next tick resumes at the
    // child that stopped instead of starting over.
    bool resume_after_stop = false;
};

// Sequence, SequenceWithMemory, Fallback: resumes at the running child.
class OrderedControl : public ControlNode {
public:
    OrderedControl(NodeConfig config, OrderPolicy policy) : ControlNode(std::move(config)), policy_(policy) {}

    void forget_progress() noexcept override;

protected:
    NodeStatus tick() override;
    void halt() override;

private:
    NodeStatus finish(NodeStatus result);

    OrderPolicy policy_;
    std::size_t current_ = 0;
    std::size_t skipped_ = 0;  // children skipped since the node started
};

// ReactiveSequence, ReactiveFallback: every tick starts again from the first child.
class ReactiveControl : public ControlNode {
public:
    ReactiveControl(NodeConfig config, NodeStatus proceed_on) : ControlNode(std::move(config)), proceed_on_(proceed_on) {}

protected:
    NodeStatus tick() override;

private:
    NodeStatus proceed_on_;
};

}  // namespace morvlen::bt::nodes
