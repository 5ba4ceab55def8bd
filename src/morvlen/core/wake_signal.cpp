// Waking a waiting tree.
#include "morvlen/core/wake_signal.h"

#include <algorithm>

namespace morvlen::bt {

void WakeSignal::wake() noexcept {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    changed_.notify_all();
}

void WakeSignal::wake_at(Clock::time_point at) noexcept {
    {
        std::lock_guard lock(mutex_);
        if (at >= earliest_) return;
        earliest_ = at;
    }
    changed_.notify_all();  // a waiter may have to end sooner
}

void WakeSignal::request_poll() noexcept {
    std::lock_guard lock(mutex_);
    poll_requested_ = true;
}

WakeSignal::WaitResult WakeSignal::wait(Clock::duration poll_interval, Clock::time_point limit) {
    std::unique_lock lock(mutex_);
    const Clock::time_point poll_at =
        poll_requested_ ? Clock::now() + poll_interval : Clock::time_point::max();
    WaitResult result = WaitResult::Woken;
    while (!woken_) {
        // Recomputed on every turn: wake_at() from another thread may bring it forward.
        const Clock::time_point until = std::min({earliest_, poll_at, limit});
        if (Clock::now() >= until) {
            result = until == earliest_ ? WaitResult::Deadline : until == poll_at ? WaitResult::Poll : WaitResult::Limit;
            break;
        }
        if (until == Clock::time_point::max()) changed_.wait(lock);
        else changed_.wait_until(lock, until);
    }
    woken_ = false;
    if (result != WaitResult::Limit) poll_requested_ = false;  // a caller waiting again still polls
    if (earliest_ <= Clock::now()) earliest_ = Clock::time_point::max();
    return result;
}

}  // namespace morvlen::bt
