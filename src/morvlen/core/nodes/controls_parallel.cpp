// Parallel and ParallelAll: every unfinished child is ticked on each tick.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "morvlen/core/nodes/builtin_nodes.h"

namespace morvlen::bt::nodes {
namespace {

// Children that completed (or were skipped) in the current execution keep their
// result here and are not ticked again until the node finishes or is halted.
class ParallelBase : public ControlNode {
public:
    using ControlNode::ControlNode;

protected:
    // The results of the children seen so far in this tick.
    struct Counts {
        std::size_t children = 0;
        std::size_t successes = 0, failures = 0, skipped = 0, running = 0;
        void add(NodeStatus status) {
            successes += status == NodeStatus::SUCCESS;
            failures += status == NodeStatus::FAILURE;
            skipped += status == NodeStatus::SKIPPED;
            running += status == NodeStatus::RUNNING;
        }
        bool all_skipped() const noexcept { return skipped == children; }
        // The children that take part: those not skipped.
        std::size_t active() const noexcept { return children - skipped; }
    };
    // Starts a tick: the node is RUNNING while its children are ticked.
    Counts start_tick() {
        set_status(NodeStatus::RUNNING);
        return Counts{child_count()};
    }

    // Ticks child i unless it already has a result; returns its current result.
    NodeStatus tick_child(std::size_t i) {
        results_.resize(child_count(), NodeStatus::IDLE);
        if (results_[i] == NodeStatus::IDLE || results_[i] == NodeStatus::RUNNING) {
            results_[i] = child(i).execute_tick();
        }
        return results_[i];
    }
    NodeStatus finish(NodeStatus result) {
        halt_children();
        results_.clear();
        return result;
    }
    void halt() override {
        results_.clear();
        ControlNode::halt();
    }

    // A count port: a negative value counts back from the number of children
    // (-1 = all of them). Accepted values lie in [1, n] or [-n, -1].
    std::int64_t count_port(std::string_view port) const {
        const auto value = get_input<std::int64_t>(port);
        const auto n = static_cast<std::int64_t>(child_count());
        if (value == 0 || value > n || value < -n) {
            throw PortError(error_prefix(*this) + std::string(port) + "=" + std::to_string(value) +
                            " is out of range for " + std::to_string(n) + " children (use 1.." + std::to_string(n) +
                            ", or -1.." + std::to_string(-n) + " to count back from the number of children)");
        }
        return value;
    }
    // Negative counts are taken relative to the children that were not skipped,
    // so skipped children are left out of "all of them"; never below one.
    static std::size_t resolve(std::int64_t value, std::size_t active) {
        if (value > 0) return static_cast<std::size_t>(value);
        return static_cast<std::size_t>(std::max<std::int64_t>(1, static_cast<std::int64_t>(active) + value + 1));
    }

private:
    std::vector<NodeStatus> results_;
};

class Parallel final : public ParallelBase {
public:
    using ParallelBase::ParallelBase;

protected:
    // Thresholds are checked after each child, so the first one reached decides and
    // the later children are not ticked in that tick.
    NodeStatus tick() override {
        const std::int64_t success_count = count_port("success_count");
        const std::int64_t failure_count = count_port("failure_count");
        Counts counts = start_tick();
        for (std::size_t i = 0; i < counts.children; ++i) {
            counts.add(tick_child(i));
            if (counts.all_skipped()) return finish(NodeStatus::SKIPPED);
            const std::size_t success_needed = resolve(success_count, counts.active());
            if (counts.successes >= success_needed) return finish(NodeStatus::SUCCESS);
            if (counts.failures >= resolve(failure_count, counts.active())) return finish(NodeStatus::FAILURE);
            if (counts.active() - counts.failures < success_needed) return finish(NodeStatus::FAILURE);
        }
        return NodeStatus::RUNNING;
    }
};

class ParallelAll final : public ParallelBase {
public:
    using ParallelBase::ParallelBase;

protected:
    NodeStatus tick() override {
        const std::int64_t max_failures = count_port("max_failures");
        Counts counts = start_tick();
        for (std::size_t i = 0; i < counts.children; ++i) counts.add(tick_child(i));
        if (counts.running > 0) return NodeStatus::RUNNING;
        if (counts.all_skipped()) return finish(NodeStatus::SKIPPED);
        const bool failed = counts.failures >= resolve(max_failures, counts.active());
        return finish(failed ? NodeStatus::FAILURE : NodeStatus::SUCCESS);
    }
};

}  // namespace

void register_parallel_nodes(NodeRegistry& registry) {
    registry.add<Parallel>(control_manifest(
        "Parallel",
        "Ticks all its children on each tick, in order, so several may be RUNNING at once; children that already "
        "completed are not ticked again until the node finishes. Returns SUCCESS as soon as success_count children "
        "succeeded and FAILURE as soon as failure_count children failed (checked after each child, the first "
        "threshold reached wins and the remaining children are not ticked), and FAILURE as soon as success_count can "
        "no longer be reached; still-running children are then halted. Otherwise RUNNING. Negative counts count back "
        "from the number of children (-1 = all, -2 = all but one); a count of 0 or beyond the number of children is an "
        "error. SKIPPED children are left out: they count neither way and negative counts are taken over the children "
        "that were not skipped; SKIPPED when every child was skipped.",
        {input_port("success_count", PortType::Int, "-1", "children that must succeed; negative: counted back from the number of children"),
         input_port("failure_count", PortType::Int, "1", "children whose failure makes the node fail; negative: counted back from the number of children")}));
    registry.add<ParallelAll>(control_manifest(
        "ParallelAll",
        "Ticks all its children on each tick until every one has completed, never halting any early; children that "
        "completed are not ticked again. Then returns FAILURE when at least max_failures children failed, else "
        "SUCCESS; RUNNING while any child runs. A negative max_failures counts back from the number of children "
        "(-1 = all). SKIPPED children count neither way; SKIPPED when every child was skipped.",
        {input_port("max_failures", PortType::Int, "1", "failed children that make the node fail; negative: counted back from the number of children")}));
}

}  // namespace morvlen::bt::nodes
