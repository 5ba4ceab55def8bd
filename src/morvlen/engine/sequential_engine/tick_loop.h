#pragma once
// The engine's tick loops: tick, then sleep on the tree's wake signal until there
// is a reason to tick again, until the tree reaches a status, a limit passes, or
// the loop is cancelled.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "morvlen/core/tree.h"

namespace morvlen::bt {

// The loops under way on one engine, so that another thread can cancel them.
// A cancel reaches only loops running when it is made: a loop that starts later
// is never hit by it.
class LoopCancellation {
public:
    struct Loop {
        std::shared_ptr<WakeSignal> signal;
        std::optional<std::string> reason;  // set by cancel(); guarded by the registry's mutex
    };

    std::shared_ptr<Loop> begin(std::shared_ptr<WakeSignal> signal);
    void end(const std::shared_ptr<Loop>& loop);
    // Marks every loop under way cancelled and wakes it; false when none runs.
    bool cancel(const std::string& reason);
    // The reason the loop was cancelled, if it was.
    std::optional<std::string> reason(const Loop& loop) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Loop>> loops_;
};

struct LoopLimits {
    std::optional<std::int64_t> max_ticks;
    std::optional<Clock::time_point> until;
};

struct LoopOutcome {
    std::int64_t ticks = 0;
    NodeStatus last = NodeStatus::IDLE;
};

// How long a loop waits for a tree that stays RUNNING without waking it: from a
// short first wait, doubled after each wait that ended for that reason, up to the
// engine's poll interval. A zero interval ticks back to back (no waits at all).
class PollBackoff {
public:
    explicit PollBackoff(Clock::duration cap) noexcept : cap_(cap), next_(std::min(cap, first_wait)) {}
    Clock::duration next() const noexcept { return next_; }
    void after(WakeSignal::WaitResult result) noexcept {
        next_ = result == WakeSignal::WaitResult::Poll ? std::min(cap_, next_ * 2) : std::min(cap_, first_wait);
    }

private:
    static constexpr Clock::duration first_wait = std::chrono::microseconds(100);
    Clock::duration cap_;
    Clock::duration next_;
};

// Ticks `tree` until done(status) is true or a limit is reached. Called without the
// GIL. A cancel halts the tree and throws TickLoopCancelled; Ctrl+C on the main
// thread halts it and throws the signal handler's exception.
LoopOutcome run_tick_loop(Tree& tree, const std::function<bool(NodeStatus)>& done, const LoopLimits& limits,
                          Clock::duration poll_interval, LoopCancellation& cancellation);

}  // namespace morvlen::bt
