// Tick loops that sleep between ticks.
#include "morvlen/engine/sequential_engine/tick_loop.h"

#include <algorithm>

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace morvlen::bt {

std::shared_ptr<LoopCancellation::Loop> LoopCancellation::begin(std::shared_ptr<WakeSignal> signal) {
    auto loop = std::make_shared<Loop>(Loop{std::move(signal), std::nullopt});
    std::lock_guard lock(mutex_);
    loops_.push_back(loop);
    return loop;
}

void LoopCancellation::end(const std::shared_ptr<Loop>& loop) {
    std::lock_guard lock(mutex_);
    std::erase(loops_, loop);
}

bool LoopCancellation::cancel(const std::string& reason) {
    std::lock_guard lock(mutex_);
    for (const auto& loop : loops_) {
        if (!loop->reason) loop->reason = reason;
        loop->signal->wake();
    }
    return !loops_.empty();
}

std::optional<std::string> LoopCancellation::reason(const Loop& loop) const {
    std::lock_guard lock(mutex_);
    return loop.reason;
}

namespace {

// Signal handlers run on the main thread only; elsewhere nothing is to be checked.
bool on_main_thread() {
    nb::gil_scoped_acquire gil;
    static const unsigned long main_ident =
        nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
    return PyThread_get_thread_ident() == main_ident;
}

// How long the main thread sleeps at most before looking at signals again.
constexpr Clock::duration signal_check_period = std::chrono::milliseconds(50);

class LoopRegistration {
public:
    LoopRegistration(LoopCancellation& cancellation, std::shared_ptr<WakeSignal> signal)
        : cancellation_(cancellation), loop_(cancellation.begin(std::move(signal))) {}
    ~LoopRegistration() { cancellation_.end(loop_); }
    LoopRegistration(const LoopRegistration&) = delete;
    LoopRegistration& operator=(const LoopRegistration&) = delete;
    std::optional<std::string> cancelled() const { return cancellation_.reason(*loop_); }

private:
    LoopCancellation& cancellation_;
    std::shared_ptr<LoopCancellation::Loop> loop_;
};

}  // namespace

LoopOutcome run_tick_loop(Tree& tree, const std::function<bool(NodeStatus)>& done, const LoopLimits& limits,
                          Clock::duration poll_interval, LoopCancellation& cancellation) {
    const bool main_thread = on_main_thread();
    const LoopRegistration registration(cancellation, tree.wake_signal());
    WakeSignal& signal = *tree.wake_signal();
    PollBackoff backoff(poll_interval);
    const Clock::time_point until = limits.until.value_or(Clock::time_point::max());
    LoopOutcome outcome;
    // Each stop condition is looked at after a tick and again after each wait.
    const auto interrupted = [&] {
        if (auto reason = registration.cancelled()) {
            tree.halt();
            throw TickLoopCancelled(*reason);
        }
        if (!main_thread) return;
        std::optional<nb::python_error> raised;  // what a signal handler raised (KeyboardInterrupt for Ctrl+C)
        {
            nb::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) raised.emplace();
        }
        if (raised) {
            tree.halt();
            throw std::move(*raised);
        }
    };
    for (;;) {
        outcome.last = tree.tick_once();
        ++outcome.ticks;
        if (done(outcome.last)) return outcome;
        if (limits.max_ticks && outcome.ticks >= *limits.max_ticks) return outcome;
        interrupted();
        if (Clock::now() >= until) return outcome;
        if (poll_interval <= Clock::duration::zero()) continue;
        // A tree that completed with the other status starts afresh on the next tick,
        // and nothing in it is left to wake the loop: it is polled.
        if (outcome.last != NodeStatus::RUNNING) signal.request_poll();
        for (;;) {
            const Clock::time_point wait_limit = main_thread ? std::min(until, Clock::now() + signal_check_period) : until;
            const WakeSignal::WaitResult result = signal.wait(backoff.next(), wait_limit);
            backoff.after(result);
            interrupted();
            if (result != WakeSignal::WaitResult::Limit) break;
            if (Clock::now() >= until) return outcome;  // the caller's time is up: no tick after it
        }
    }
}

}  // namespace morvlen::bt
