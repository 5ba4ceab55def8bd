#pragma once
// The timers of Delay, Timeout and Sleep: a deadline checked on each tick, so that
// nothing sleeps or waits inside a tick and no timer thread is needed. A deadline
// not yet passed is registered with the tree's wake signal, so that a waiting tick
// loop ticks again when it passes.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "morvlen/core/nodes/builtin_nodes.h"

namespace morvlen::bt::nodes {

class Deadline {
public:
    void start(std::chrono::milliseconds duration, const TreeNode& owner) {
        at_ = Clock::now() + duration;
        owner.wake_signal()->wake_at(*at_);
    }
    void clear() noexcept { at_.reset(); }
    bool started() const noexcept { return at_.has_value(); }
    bool passed(const TreeNode& owner) const {
        if (!at_) return false;
        if (Clock::now() >= *at_) return true;
        owner.wake_signal()->wake_at(*at_);
        return false;
    }

private:
    std::optional<Clock::time_point> at_;
};

// A duration port in milliseconds; negative values are refused.
inline std::chrono::milliseconds read_msec(const TreeNode& node, std::string_view port) {
    const auto msec = node.get_input<std::int64_t>(port);
    if (msec < 0) {
        throw PortError(error_prefix(node) + std::string(port) + "=" + std::to_string(msec) +
                        " is negative (a duration in milliseconds is expected)");
    }
    return std::chrono::milliseconds(msec);
}

}  // namespace morvlen::bt::nodes
