// Async actions: coroutines run on the event loop, watched from the tree's ticks.
#include "morvlen/nodes/action_node/async_action.h"

#include <condition_variable>
#include <mutex>
#include <string>

#include <nanobind/stl/string.h>

#include "morvlen/core/port_values.h"

namespace nb = nanobind;

namespace morvlen::bt {

// One run of a coroutine: made a task on the loop thread, finished when the task
// is done. The tree's thread waits on it only to see a cancellation through.
class AsyncRun {
public:
    explicit AsyncRun(std::shared_ptr<WakeSignal> wake) : wake_(std::move(wake)) {}
    ~AsyncRun() { drop_python_object(task_); }
    AsyncRun(const AsyncRun&) = delete;
    AsyncRun& operator=(const AsyncRun&) = delete;

    // On the loop thread: the task of `coroutine`, watched by `self`.
    static void start(const std::shared_ptr<AsyncRun>& self, nb::handle loop, nb::handle coroutine) {
        self->task_ = loop.attr("create_task")(coroutine);
        self->task_.attr("add_done_callback")(nb::cpp_function([self](nb::handle) { self->finish(); }));
    }
    // On the loop thread.
    void cancel() const {
        if (task_.is_valid()) task_.attr("cancel")();
    }
    bool finished() const {
        std::lock_guard lock(mutex_);
        return finished_;
    }
    // Call without the GIL.
    bool wait_finished(std::chrono::steady_clock::duration bound) const {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, bound, [this] { return finished_; });
    }
    // Once finished; with the GIL.
    const nb::object& task() const noexcept { return task_; }
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(task_.ptr());
        return 0;
    }

private:
    void finish() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        wake_->wake();
    }

    std::shared_ptr<WakeSignal> wake_;
    nb::object task_;  // set on the loop thread before anyone reads it (both hold the GIL)
    mutable std::mutex mutex_;
    mutable std::condition_variable done_;
    bool finished_ = false;
};

namespace {

constexpr std::string_view role = "the async tick function";

}  // namespace

PythonAsyncNode::PythonAsyncNode(NodeConfig config, PyRef tick_function)
    : PythonNode(std::move(config), std::move(tick_function)), loop_(EventLoop::acquire()) {}

PythonAsyncNode::~PythonAsyncNode() {
    // A tree is halted before it is destroyed; a run still here had its cancel
    // outlast the bound, or the interpreter is ending.
    if (run_ && nb::is_alive()) {
        nb::gil_scoped_acquire gil;
        try {
            const std::shared_ptr<AsyncRun> run = std::move(run_);
            loop_->call_soon(nb::cpp_function([run] { run->cancel(); }));
        } catch (nb::python_error& error) {
            error.discard_as_unraisable("cancelling an async action of a destroyed tree");
        }
    }
}

int PythonAsyncNode::traverse_own(visitproc visit, void* arg) const {
    // The run is this node's alone once no callback of the loop holds it (the task
    // keeps its done-callback until it is done). A finished task holds the
    // coroutine's exception, whose traceback holds frames and their globals.
    if (run_ && run_.use_count() == 1) {
        if (const int found = run_->traverse(visit, arg)) return found;
    }
    return PythonNode::traverse_own(visit, arg);
}

NodeStatus PythonAsyncNode::tick() {
    nb::gil_scoped_acquire gil;
    if (!run_) {
        start();
        return NodeStatus::RUNNING;
    }
    return run_->finished() ? finish() : NodeStatus::RUNNING;
}

void PythonAsyncNode::start() {
    nb::object coroutine = call(registered(), role);
    if (!nb::cast<bool>(nb::module_::import_("asyncio").attr("iscoroutine")(coroutine))) {
        throw NodeLogicError(registration_name() + " '" + full_path() + "': " + std::string(role) + " returned " +
                             describe(coroutine) + " instead of a coroutine");
    }
    auto run = std::make_shared<AsyncRun>(wake_signal());
    const nb::object loop = loop_->loop();
    if (!loop_->call_soon(nb::cpp_function([run, loop, coroutine] { AsyncRun::start(run, loop, coroutine); }))) {
        coroutine.attr("close")();
        throw BehaviorTreeError(registration_name() + " '" + full_path() +
                                "': the event loop of async actions has ended (the interpreter is exiting)");
    }
    run_ = std::move(run);
}

NodeStatus PythonAsyncNode::finish() {
    const std::shared_ptr<AsyncRun> run = std::move(run_);
    // result() raises the coroutine's own exception, with its traceback.
    const nb::object result = with_note(role, [&] { return run->task().attr("result")(); });
    return checked_status(result, role);
}

void PythonAsyncNode::halt() {
    if (!run_ || !nb::is_alive()) return;
    const std::shared_ptr<AsyncRun> run = std::move(run_);
    nb::gil_scoped_acquire gil;
    if (!loop_->call_soon(nb::cpp_function([run] { run->cancel(); }))) return;  // the loop's end cancelled it
    if (loop_->on_loop_thread()) return;  // the loop cannot be waited for from inside it
    bool finished = false;
    {
        nb::gil_scoped_release released;
        finished = run->wait_finished(cancel_bound);
    }
    if (!finished) {
        const std::string message = registration_name() + " '" + full_path() + "': the coroutine did not finish within " +
                                    std::to_string(cancel_bound.count()) + " s of its cancellation; it is left to finish on its own";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw nb::python_error();
        return;
    }
    // A coroutine that raised something else while being cancelled makes the halt raise it.
    const nb::object& task = run->task();
    if (!nb::cast<bool>(task.attr("cancelled")())) with_note(role, [&] { return task.attr("result")(); });
}

std::unique_ptr<TreeNode> make_async_node(NodeConfig config, PyRef tick_function) {
    return std::make_unique<PythonAsyncNode>(std::move(config), std::move(tick_function));
}

}  // namespace morvlen::bt
