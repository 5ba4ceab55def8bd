// Inverter, ForceSuccess, ForceFailure, Repeat, RetryUntilSuccessful,
// KeepRunningUntilFailure and RunOnce.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "morvlen/core/nodes/builtin_nodes.h"

namespace morvlen::bt::nodes {
namespace {

// Rewrites the completed status of its child; RUNNING and SKIPPED pass unchanged.
class StatusMapDecorator final : public DecoratorNode {
public:
    using Map = NodeStatus (*)(NodeStatus completed);
    StatusMapDecorator(NodeConfig config, Map map) : DecoratorNode(std::move(config)), map_(map) {}

protected:
    NodeStatus tick() override {
        set_status(NodeStatus::RUNNING);
        const NodeStatus status = child().execute_tick();
        if (status == NodeStatus::RUNNING) return status;
        halt_child();
        return is_completed(status) ? map_(status) : status;
    }

private:
    Map map_;
};

// Repeat and RetryUntilSuccessful: tick the child again, within the same tick, while
// it returns `again_on`, up to the count read from `count_port` (-1: without end).
// The other completed status ends the loop with that status; a loop that used up
// its count returns `again_on`.
struct RepeatPolicy {
    const char* count_port;
    NodeStatus again_on;
};

class RepeatingDecorator final : public DecoratorNode {
public:
    RepeatingDecorator(NodeConfig config, RepeatPolicy policy) : DecoratorNode(std::move(config)), policy_(policy) {}

protected:
    NodeStatus tick() override {
        const std::int64_t limit = get_input<std::int64_t>(policy_.count_port);
        if (limit < -1) {
            throw PortError(error_prefix(*this) + policy_.count_port + "=" + std::to_string(limit) +
                            " is invalid (use a count >= 0, or -1 for no limit)");
        }
        const bool endless = limit == -1;
        set_status(NodeStatus::RUNNING);
        while (endless || done_ < limit) {
            const NodeStatus status = child().execute_tick();
            if (status == NodeStatus::RUNNING) return status;  // same iteration continues next tick
            halt_child();
            if (status != policy_.again_on) return finish(status);  // the other outcome, or SKIPPED
            ++done_;
            // Without a limit, a child that completes at once would keep the tick from
            // ever returning: give control back after each round instead.
            if (endless) return next_round_of(*this);
        }
        return finish(policy_.again_on);
    }
    void halt() override {
        done_ = 0;
        halt_child();
    }

private:
    NodeStatus finish(NodeStatus result) {
        done_ = 0;
        return result;
    }
    RepeatPolicy policy_;
    std::int64_t done_ = 0;
};

class KeepRunningUntilFailure final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;

protected:
    NodeStatus tick() override {
        set_status(NodeStatus::RUNNING);
        const NodeStatus status = child().execute_tick();
        if (status == NodeStatus::RUNNING) return status;
        halt_child();  // a SUCCESS starts the child afresh on the next tick
        return status == NodeStatus::FAILURE ? status : next_round_of(*this);
    }
};

class RunOnce final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;

protected:
    NodeStatus tick() override {
        if (outcome_) return get_input<bool>("then_skip") ? NodeStatus::SKIPPED : *outcome_;
        set_status(NodeStatus::RUNNING);
        const NodeStatus status = child().execute_tick();
        if (status == NodeStatus::RUNNING) return status;
        halt_child();
        // A skipped child has not run yet, so it does not use up the single run.
        if (is_completed(status)) outcome_ = status;
        return status;
    }
    // The default halt stops a running child; the node stays armed until a run completes.

private:
    std::optional<NodeStatus> outcome_;
};

}  // namespace

void register_decorator_nodes(NodeRegistry& registry) {
    const auto add_map = [&registry](NodeManifest manifest, StatusMapDecorator::Map map) {
        registry.add(std::move(manifest), [map](NodeConfig config) {
            return std::make_unique<StatusMapDecorator>(std::move(config), map);
        });
    };
    add_map(decorator_manifest("Inverter",
                               "Returns FAILURE when its child succeeds and SUCCESS when it fails; RUNNING and "
                               "SKIPPED pass through unchanged."),
            [](NodeStatus s) { return opposite(s); });
    add_map(decorator_manifest("ForceSuccess",
                               "Returns SUCCESS when its child completes, whatever the outcome; RUNNING and SKIPPED "
                               "pass through unchanged."),
            [](NodeStatus) { return NodeStatus::SUCCESS; });
    add_map(decorator_manifest("ForceFailure",
                               "Returns FAILURE when its child completes, whatever the outcome; RUNNING and SKIPPED "
                               "pass through unchanged."),
            [](NodeStatus) { return NodeStatus::FAILURE; });

    const auto add_repeating = [&registry](NodeManifest manifest, RepeatPolicy policy) {
        registry.add(std::move(manifest), [policy](NodeConfig config) {
            return std::make_unique<RepeatingDecorator>(std::move(config), policy);
        });
    };
    const std::string repeat_doc =
        "Ticks its child again, within the same tick, each time it succeeds, until it has succeeded num_cycles times; "
        "then returns SUCCESS. A FAILURE returns FAILURE at once and restarts the count. A RUNNING child returns "
        "RUNNING and the same cycle continues on the next tick. A SKIPPED child returns SKIPPED and restarts the "
        "count. With num_cycles=-1 it repeats without end and returns RUNNING after every success, so that the tree "
        "stays responsive even when the child succeeds at once; num_cycles=0 returns SUCCESS without ticking.";
    add_repeating(decorator_manifest("Repeat", repeat_doc,
                                     {required(input_port("num_cycles", PortType::Int, std::nullopt, "successes to repeat for; -1: without end"))}),
                  {"num_cycles", NodeStatus::SUCCESS});
    const std::string retry_doc =
        "Ticks its child again, within the same tick, each time it fails, up to num_attempts attempts; then returns "
        "FAILURE. A SUCCESS returns SUCCESS at once and restarts the count. A RUNNING child returns RUNNING and the "
        "same attempt continues on the next tick. A SKIPPED child returns SKIPPED and restarts the count. With "
        "num_attempts=-1 it retries without end and returns RUNNING after every failure, so that the tree stays "
        "responsive even when the child fails at once; num_attempts=0 returns FAILURE without ticking.";
    for (const char* id : {"RetryUntilSuccessful", "RetryUntilSuccesful"}) {
        const bool alias = std::string_view(id) == "RetryUntilSuccesful";
        add_repeating(decorator_manifest(id, alias ? "Deprecated spelling of RetryUntilSuccessful. " + retry_doc : retry_doc,
                                         {required(input_port("num_attempts", PortType::Int, std::nullopt, "attempts before giving up; -1: without end"))}),
                      {"num_attempts", NodeStatus::FAILURE});
    }

    registry.add<KeepRunningUntilFailure>(decorator_manifest(
        "KeepRunningUntilFailure",
        "Returns RUNNING while its child succeeds or runs, starting the child afresh on the next tick after each "
        "success; returns FAILURE when the child fails. It never returns SUCCESS. A SKIPPED child counts like a "
        "success (RUNNING)."));
    registry.add<RunOnce>(decorator_manifest(
        "RunOnce",
        "Ticks its child until it completes once (over as many ticks as it is RUNNING) and returns its statuses. "
        "Afterwards the child is never ticked again: the node returns SKIPPED when then_skip is true, else the "
        "child's final status. Once per tree instance: neither halting nor resetting the tree re-arms it. A SKIPPED "
        "child does not use up the single run.",
        {input_port("then_skip", PortType::Bool, "true", "after the single run, return SKIPPED instead of the run's status")}));
}

}  // namespace morvlen::bt::nodes
