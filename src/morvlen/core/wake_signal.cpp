// Waking a waiting tree.
#include "morvlen/core/wake_signal.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace morvlen::bt {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t* futex_word(std::atomic<std::uint32_t>& word) noexcept {
    return reinterpret_cast<std::uint32_t*>(&word);
}

// Sleeps while `word` still holds `seen`, until `until` at the latest (steady_clock
// is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET measures absolute times on). Returns
// early on a wake-up, a signal or a spurious wake: the caller looks again.
void sleep_while_unchanged(std::atomic<std::uint32_t>& word, std::uint32_t seen, WakeSignal::Clock::time_point until) noexcept {
    timespec deadline{};
    const timespec* timeout = nullptr;
    if (until != WakeSignal::Clock::time_point::max()) {
        const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch());
        deadline.tv_sec = static_cast<time_t>(since_epoch.count() / 1'000'000'000);
        deadline.tv_nsec = static_cast<long>(since_epoch.count() % 1'000'000'000);
        timeout = &deadline;
    }
    syscall(SYS_futex, futex_word(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, seen, timeout, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

void wake_sleeper(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, futex_word(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

}  // namespace

bool WakeSignal::rouse_sleeper() noexcept {
    if (!sleeping_) return false;
    // Changed under the mutex after the waiter read it under the mutex, so the waiter's
    // sleep either sees the new value at once or is woken from it.
    changes_.fetch_add(1, std::memory_order_relaxed);
    sleeping_ = false;  // one system call per sleep is enough
    return true;
}

void WakeSignal::wake() noexcept {
    bool rouse = false;
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
        rouse = rouse_sleeper();
    }
    if (rouse) wake_sleeper(changes_);
}

void WakeSignal::wake_at(Clock::time_point at) noexcept {
    bool rouse = false;
    {
        std::lock_guard lock(mutex_);
        if (at >= earliest_) return;
        earliest_ = at;
        rouse = rouse_sleeper();  // the waiter may have to end sooner
    }
    if (rouse) wake_sleeper(changes_);
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
        const std::uint32_t seen = changes_.load(std::memory_order_relaxed);
        sleeping_ = true;
        lock.unlock();
        sleep_while_unchanged(changes_, seen, until);
        lock.lock();
        sleeping_ = false;
    }
    woken_ = false;
    if (result != WaitResult::Limit) poll_requested_ = false;  // a caller waiting again still polls
    if (earliest_ <= Clock::now()) earliest_ = Clock::time_point::max();
    return result;
}

}  // namespace morvlen::bt
