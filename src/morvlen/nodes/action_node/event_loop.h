#pragma once
// The asyncio event loop on which async actions run their coroutines: one loop, in
// one daemon thread of its own, for the whole process. It runs while some node
// needs it: each async action node holds it, and when the last one is destroyed
// the loop cancels what is left and closes, and its thread ends, so a program (or
// a test) that has let go of its trees has no loop thread left behind. It is also
// ended at interpreter exit, before daemon threads are frozen.

#include <chrono>
#include <memory>

#include <nanobind/nanobind.h>

namespace morvlen::bt {

class EventLoop {
public:
    // How long ending the loop waits for its thread (and so for the cancelled
    // coroutines' clean-up). Past it, a RuntimeWarning says so and the thread is left.
    static constexpr std::chrono::seconds end_bound{5};

    // The running loop, started when none is. Needs the GIL.
    static std::shared_ptr<EventLoop> acquire();
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs callback() on the loop thread, soon; false (and nothing runs) once the
    // loop has ended (interpreter exit). Needs the GIL.
    bool call_soon(nanobind::handle callback) const;
    const nanobind::object& loop() const noexcept { return loop_; }
    // True on the loop's own thread, which must never wait for the loop.
    bool on_loop_thread() const noexcept;

private:
    // Asks the loop to end and waits for its thread, bounded; nothing once ended.
    // Needs the GIL.
    void end();

    nanobind::object loop_;
    nanobind::object stop_;    // an asyncio.Event the loop thread waits on
    nanobind::object thread_;  // the threading.Thread running the loop
    nanobind::object at_exit_;  // registered with atexit while the loop runs
    nanobind::object unregister_;  // atexit.unregister, fetched early: no imports while the interpreter ends
    unsigned long thread_ident_ = 0;
};

}  // namespace morvlen::bt
