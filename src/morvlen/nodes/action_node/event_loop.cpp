// The process's event loop for async actions: started on demand, ended with its last user.
#include "morvlen/nodes/action_node/event_loop.h"

#include <nanobind/stl/string.h>

namespace nb = nanobind;

namespace morvlen::bt {

std::shared_ptr<EventLoop> EventLoop::acquire() {
    // Guarded by the GIL, as is everything that starts or ends a loop.
    static std::weak_ptr<EventLoop> current;
    if (auto running = current.lock()) return running;
    auto started = std::make_shared<EventLoop>();
    current = started;
    const std::weak_ptr<EventLoop> weak = started;
    started->at_exit_ = nb::cpp_function([weak] {
        if (const auto loop = weak.lock()) loop->end();
    });
    const nb::module_ atexit = nb::module_::import_("atexit");
    atexit.attr("register")(started->at_exit_);
    started->unregister_ = atexit.attr("unregister");
    return started;
}

EventLoop::EventLoop() {
    const nb::module_ asyncio = nb::module_::import_("asyncio");
    loop_ = asyncio.attr("new_event_loop")();
    stop_ = asyncio.attr("Event")();
    // asyncio.run on this loop until stop_ is set: it then cancels the tasks left,
    // finishes async generators and the default executor, and closes the loop, all
    // on the loop's thread. The target is made of Python callables only, so no C++
    // frame sits under the loop.
    const nb::object run = nb::module_::import_("functools")
                               .attr("partial")(asyncio.attr("run"), stop_.attr("wait")(),
                                                nb::arg("loop_factory") = nb::iter(nb::make_tuple(loop_)).attr("__next__"));
    thread_ = nb::module_::import_("threading")
                  .attr("Thread")(nb::arg("target") = run, nb::arg("name") = "morvlen-async-actions", nb::arg("daemon") = true);
    thread_.attr("start")();
    thread_ident_ = nb::cast<unsigned long>(thread_.attr("ident"));
}

EventLoop::~EventLoop() {
    if (!nb::is_alive()) {
        for (nb::object* held : {&loop_, &stop_, &thread_, &at_exit_, &unregister_}) held->release();
        return;
    }
    nb::gil_scoped_acquire gil;
    try {
        end();
        if (unregister_.is_valid()) unregister_(at_exit_);
    } catch (nb::python_error& error) {
        error.discard_as_unraisable("ending the event loop of async actions");
    }
    loop_.reset();
    stop_.reset();
    thread_.reset();
    at_exit_.reset();
    unregister_.reset();
}

bool EventLoop::on_loop_thread() const noexcept { return PyThread_get_thread_ident() == thread_ident_; }

bool EventLoop::call_soon(nb::handle callback) const {
    if (nb::cast<bool>(loop_.attr("is_closed")())) return false;
    loop_.attr("call_soon_threadsafe")(callback);
    return true;
}

void EventLoop::end() {
    if (!nb::cast<bool>(thread_.attr("is_alive")())) return;
    call_soon(stop_.attr("set"));
    if (on_loop_thread()) return;  // the thread ends once this callback returns
    thread_.attr("join")(std::chrono::duration<double>(end_bound).count());
    if (nb::cast<bool>(thread_.attr("is_alive")())) {
        const std::string message = "the event loop of async actions did not end within " + std::to_string(end_bound.count()) +
                                    " s (a coroutine ignores its cancellation or blocks the loop); its daemon thread is left running";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw nb::python_error();
    }
}

}  // namespace morvlen::bt
