// Cancelling a tree's tick loop from a stop or an interrupted caller; keeping the
// cause of a failed command for its caller.
#include "morvlen/engine/trigger/mthread/command_cancellation.h"

#include <chrono>
#include <thread>
#include <utility>

namespace morvlen::mthread {

namespace {

// engine.cancel(reason); true when a loop was under way. An engine without
// `cancel` has no loop to cancel.
bool cancel_loop(const TreeChannel& channel, PyObject* reason) {
    if (!channel.engine || !reason) return false;
    const Ref method = Ref::steal(PyObject_GetAttrString(channel.engine.get(), "cancel"));
    if (!method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        return false;
    }
    const Ref done = call(method.get(), {reason});
    return done && PyObject_IsTrue(done.get()) == 1;
}

Ref reason_text(PyObject* tree_id, std::string_view what) {
    return MessageBuilder().text("行为树 ").value(tree_id).text(what).build();
}

// Reports an error of the cancelling itself without disturbing the exception
// being raised, if any.
void report_unraisable(PyObject* where) {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(where);
}

}  // namespace

void cancel_for_stop(TreeChannel& channel, PyObject* tree_id) {
    if (!channel.processing) return;
    PendingException pending;
    cancel_loop(channel, reason_text(tree_id, " 已被停止，正在执行的命令被取消").get());
    report_unraisable(tree_id);
    pending.restore();
}

void abandon_command(TreeChannel& channel, PyObject* tree_id) {
    PendingException pending;
    channel.abandoned = true;
    const Ref reason = reason_text(tree_id, " 的调用者已放弃等待，命令被取消");
    // The worker may be between taking the command and starting its loop: a few
    // short retries catch that loop too. Holding the condition keeps the command
    // from ending meanwhile, so no later command can be hit.
    for (int attempt = 0; attempt < 20 && !cancel_loop(channel, reason.get()); ++attempt) {
        report_unraisable(tree_id);
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Py_END_ALLOW_THREADS
    }
    report_unraisable(tree_id);
    pending.restore();
}

namespace {

// The failure slot of the FailureCollector living on this thread, if any. A plain
// pointer: a thread-local with a destructor would run code at thread exit, on
// storage the thread library frees on its own schedule.
thread_local CommandFailure* collected = nullptr;

}  // namespace

FailureCollector::FailureCollector() noexcept : outer_(std::exchange(collected, &failure_)) {}

FailureCollector::~FailureCollector() { collected = outer_; }

CommandFailure FailureCollector::take() { return std::exchange(failure_, {}); }

void remember_failure(const Ref& message, const Ref& cause) {
    if (collected) *collected = {message, cause};
}

void attach_cause(TreeChannel& channel, PyObject* message) {
    const Ref cause = std::move(channel.failure_cause);
    const Ref known = std::move(channel.failure_message);
    if (!cause || known.get() != message || !PyErr_Occurred()) return;
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, Py_NewRef(cause.get()));
    PyErr_SetRaisedException(raised);
}

}  // namespace morvlen::mthread
