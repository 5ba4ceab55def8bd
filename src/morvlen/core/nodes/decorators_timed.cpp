// Delay and Timeout.
#include "morvlen/core/nodes/builtin_nodes.h"
#include "morvlen/core/nodes/deadline.h"

namespace morvlen::bt::nodes {
namespace {

class Delay final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;

protected:
    NodeStatus tick() override {
        set_status(NodeStatus::RUNNING);
        if (!deadline_.started()) {
            deadline_.start(read_msec(*this, "delay_msec"), *this);
            return NodeStatus::RUNNING;  // the child never runs in the tick that starts the wait
        }
        if (!deadline_.passed(*this)) return NodeStatus::RUNNING;
        const NodeStatus status = child().execute_tick();
        if (status == NodeStatus::RUNNING) return status;
        halt_child();
        deadline_.clear();  // the next run waits again
        return status;
    }
    void halt() override {
        deadline_.clear();
        halt_child();
    }

private:
    Deadline deadline_;
};

class Timeout final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;

protected:
    NodeStatus tick() override {
        if (!deadline_.started()) deadline_.start(read_msec(*this, "msec"), *this);
        set_status(NodeStatus::RUNNING);
        // Checked before the child's tick: a child past its time is not given another tick.
        if (deadline_.passed(*this) && child().status() == NodeStatus::RUNNING) return finish(NodeStatus::FAILURE);
        const NodeStatus status = child().execute_tick();
        return status == NodeStatus::RUNNING ? status : finish(status);
    }
    void halt() override {
        deadline_.clear();
        halt_child();
    }

private:
    NodeStatus finish(NodeStatus result) {
        halt_child();
        deadline_.clear();
        return result;
    }
    Deadline deadline_;
};

}  // namespace

void register_timed_decorator_nodes(NodeRegistry& registry) {
    registry.add<Delay>(decorator_manifest(
        "Delay",
        "Waits delay_msec milliseconds before ticking its child: the first tick starts the timer and returns RUNNING "
        "without ticking the child (even with 0), later ticks return RUNNING until the time has passed. Then the child "
        "is ticked and its status returned, RUNNING included. The timer is checked on each tick (nothing sleeps) and "
        "starts again for the next run after the child completes or the node is halted.",
        {required(input_port("delay_msec", PortType::Int, std::nullopt, "milliseconds to wait before ticking the child"))}));
    registry.add<Timeout>(decorator_manifest(
        "Timeout",
        "Ticks its child and returns its status; the timer starts on the node's first tick. If the child is still "
        "RUNNING when msec milliseconds have passed, the next tick halts the child, without ticking it, and returns "
        "FAILURE. The timer is checked on each tick (nothing sleeps) and starts again on the next run.",
        {required(input_port("msec", PortType::Int, std::nullopt, "milliseconds the child may run"))}));
}

}  // namespace morvlen::bt::nodes
