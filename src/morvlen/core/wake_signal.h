#pragma once
// How a waiting tree is woken. One WakeSignal is shared by a tree and all its nodes;
// a tick loop sleeps on it between ticks instead of ticking back to back.
//
// What a tick tells the signal, and what the following wait does:
//  - wake():        something changed (an async action finished, a blackboard entry
//                   was written, a decorator wants its next cycle): the wait returns
//                   at once. Callable from any thread, with or without the GIL.
//  - wake_at(t):    a timed node (Sleep, Delay, Timeout) has a deadline: the wait
//                   ends by t at the latest. Registered again on every tick that
//                   still waits for it, so a deadline of a halted node is dropped
//                   after it passes (costing at most one spare tick).
//  - request_poll(): a node stays RUNNING and will not wake the tree itself (a
//                   plain Python action): the wait ends after the loop's poll
//                   interval. TreeNode::execute_tick() asks for it on behalf of
//                   every Action or Condition that returns RUNNING unless the node
//                   says it wakes the tree itself (TreeNode::wakes_tree()).
// With none of these, the wait lasts until a wake(), the loop's own limit or a
// cancel (which is a wake() too).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace morvlen::bt {

class WakeSignal {
public:
    using Clock = std::chrono::steady_clock;

    enum class WaitResult {
        Woken,     // wake() was called since the last wait
        Deadline,  // a registered deadline passed
        Poll,      // the poll interval passed while a node asked for polling
        Limit,     // the caller's own limit passed
    };

    // Never blocks on Python; safe from any thread and from a tick of this tree.
    void wake() noexcept;
    void wake_at(Clock::time_point at) noexcept;
    void request_poll() noexcept;

    // The waiting side, for one thread at a time (the tick loop). Sleeps until
    // the first of: a wake(), the earliest registered deadline, now + poll_interval
    // when polling was requested since the last wait, or `limit`. Consumes the
    // wake and the poll request; keeps deadlines that have not passed yet. Call
    // without the GIL. The poll request is kept when the caller's own limit ended
    // the wait, so that a caller waiting in slices still polls.
    WaitResult wait(Clock::duration poll_interval, Clock::time_point limit);

private:
    // Tells a sleeping waiter to look again; called with mutex_ held.
    bool rouse_sleeper() noexcept;

    std::mutex mutex_;  // guards the fields below; never held while the waiter sleeps
    bool woken_ = false;
    bool poll_requested_ = false;
    bool sleeping_ = false;  // the waiter is asleep on changes_ (or about to be)
    Clock::time_point earliest_ = Clock::time_point::max();
    // The waiter sleeps on this word itself (a futex), not on a condition variable:
    // a timed condition wait leaves its mutex marked contended, so each poll would
    // pay one more system call to release it. Changed under mutex_ only.
    std::atomic<std::uint32_t> changes_{0};
};

}  // namespace morvlen::bt
