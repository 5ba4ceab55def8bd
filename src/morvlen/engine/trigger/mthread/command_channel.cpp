// Handing one command to a tree's worker and waiting for its answer.
#include "morvlen/engine/trigger/mthread/command_cancellation.h"
#include "morvlen/engine/trigger/mthread/context_guard.h"
#include "morvlen/engine/trigger/mthread/engine_logging.h"
#include "morvlen/engine/trigger/mthread/engine_methods.h"
#include "morvlen/engine/trigger/mthread/tree_channel.h"
#include "morvlen/engine/trigger/mthread/tree_record.h"
#include "morvlen/engine/trigger/mthread/wait_cycles.h"

namespace morvlen::mthread {

namespace {

// "行为树 <id> 执行命令 <type> 失败: <reason>", logged and raised as RuntimeError.
PyObject* raise_command_failed(const CallContext& ctx, PyObject* reason) {
    return raise_logged(ctx, PyExc_RuntimeError,
                        MessageBuilder()
                            .text("行为树 ")
                            .value(ctx.arg(0))
                            .text(" 执行命令 ")
                            .value(ctx.arg(1))
                            .text(" 失败: ")
                            .value(reason)
                            .build());
}

PyObject* raise_with_reason(const CallContext& ctx, std::string_view pre, std::string_view post) {
    const Ref reason = MessageBuilder().text(pre).value(ctx.arg(0)).text(post).build();
    return reason ? raise_command_failed(ctx, reason.get()) : nullptr;
}

PyObject* raise_worker_ended(const CallContext& ctx) {
    return raise_with_reason(ctx, "行为树线程 ", " 已结束，无法执行命令");
}

// {"type": command_type, "params": params, or a new dict when it is None or empty}.
Ref command_record(PyObject* command_type, PyObject* params) {
    // The argument check admits only a dict or None here.
    const bool filled = params != Py_None && PyDict_GET_SIZE(params) > 0;
    const Ref stored = filled ? Ref::borrow(params) : Ref::steal(PyDict_New());
    Ref record = Ref::steal(PyDict_New());
    if (!stored || !record || PyDict_SetItem(record.get(), interned<"type">(), command_type) < 0 ||
        PyDict_SetItem(record.get(), interned<"params">(), stored.get()) < 0) {
        return {};
    }
    return record;
}

// Another thread may interrupt a caller's wait as Ctrl+C does on the main thread
// (the asyncio front end does, for a cancelled task): it sets the exception to
// raise as `morvlen_interrupt` on the caller's Thread object, then notifies the
// tree's condition. True, with that exception set, when the caller must give up.
//
// The caller's Thread attributes (its __dict__), kept in the thread state's own dict
// after the first lookup: threading.current_thread() runs Python code, and this
// check comes with every command and every wake-up. Borrowed; null on error.
PyObject* caller_thread_attributes() {
    PyObject* state = PyThreadState_GetDict();
    PyObject* key = interned<"morvlen_thread_attributes">();
    if (!key) return nullptr;
    if (state) {
        if (PyObject* cached = PyDict_GetItemWithError(state, key)) return cached;
        if (PyErr_Occurred()) return nullptr;
    }
    // Taken from sys.modules when there (as it is for any threaded program): cheaper than an import.
    PyObject* name = interned<"threading">();
    if (!name) return nullptr;
    Ref threading = Ref::steal(PyImport_GetModule(name));
    if (!threading && !PyErr_Occurred()) threading = Ref::steal(PyImport_Import(name));
    const Ref thread = threading ? call_method<"current_thread">(threading.get(), {}) : Ref{};
    if (!thread) return nullptr;
    const Ref attributes = get_attr<"__dict__">(thread.get());
    if (!attributes || !PyDict_Check(attributes.get())) return nullptr;
    if (!state) {
        PyErr_SetString(PyExc_RuntimeError, "the calling thread has no thread state dict");
        return nullptr;
    }
    if (PyDict_SetItem(state, key, attributes.get()) < 0) return nullptr;
    return attributes.get();  // the state dict holds it now
}

bool interrupted_elsewhere() {
    PyObject* attributes = caller_thread_attributes();
    PyObject* key = interned<"morvlen_interrupt">();
    if (!attributes || !key) return true;
    // Looked up in the instance dict: a missing attribute costs no AttributeError.
    PyObject* exception = PyDict_GetItemWithError(attributes, key);
    if (!exception) return PyErr_Occurred() != nullptr;
    if (!PyExceptionInstance_Check(exception)) return false;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
    return true;
}

// One wait on the condition, telling the worker that a caller waits.
bool wait_once(const TreeRecord& r, TreeChannel& channel) {
    if (interrupted_elsewhere()) return false;
    channel.caller_waiting = true;
    const Ref waited = call_method<"wait">(r.cond.get(), {});
    channel.caller_waiting = false;
    return static_cast<bool>(waited);
}

// Waits, holding the condition, until the worker has answered: the result slot is
// filled and the worker is done with the command. Null with an exception set
// when the wait fails; an empty optional-like null Ref with no exception when
// the worker has ended and will never answer.
Ref wait_for_result(const TreeRecord& r, TreeChannel& channel) {
    for (;;) {
        Ref value = slot_value(r.result);
        if (!value || (value.get() != Py_None && !channel.processing)) return value;
        if (channel.worker_ended) return {};
        if (!wait_once(r, channel)) return {};
    }
}

// A command abandoned by an interrupted caller may still be running: the next
// caller waits for its end. False with an exception set when the wait fails.
bool wait_for_worker(const TreeRecord& r, TreeChannel& channel) {
    while (channel.processing && !channel.worker_ended) {
        if (!wait_once(r, channel)) return false;
    }
    return true;
}

// A caller interrupted while waiting (for example by KeyboardInterrupt) takes
// its command back, or drops its answer, so neither reaches the next caller; a
// command under way is cancelled and its answer dropped when it ends.
void withdraw(const TreeRecord& r, TreeChannel& channel, PyObject* command, PyObject* tree_id) {
    if (channel.processing) {
        abandon_command(channel, tree_id);
        return;
    }
    PendingException pending;
    const Ref in_slot = slot_value(r.command);
    if (in_slot && in_slot.get() == command) {
        set_slot(r.command, Py_None);
    } else if (in_slot) {
        set_slot(r.result, Py_None);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(r.cond.get());
    pending.restore();
}

// Unpacks the triple (exactly three items) and clears the result slot.
PyObject* take_result(const CallContext& ctx, const TreeRecord& r, TreeChannel& channel, PyObject* triple_obj) {
    const Ref triple = Ref::steal(PySequence_Tuple(triple_obj));
    if (!triple) return nullptr;
    const Py_ssize_t size = PyTuple_GET_SIZE(triple.get());
    if (size != 3) {
        if (size < 3) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", size);
        } else {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        }
        return nullptr;
    }
    if (!set_slot(r.result, Py_None)) return nullptr;
    PyObject* result_type = PyTuple_GET_ITEM(triple.get(), 0);
    PyObject* result_value = PyTuple_GET_ITEM(triple.get(), 2);
    const int failed = equals_text(result_type, interned<"error">());
    if (failed < 0) return nullptr;
    if (failed) {
        raise_command_failed(ctx, result_value);
        attach_cause(channel, result_value);
        return nullptr;
    }
    return Py_NewRef(result_value);
}

}  // namespace

PyObject* send_command(const CallContext& ctx) {
    PyObject* tree_id = ctx.arg(0);
    if (!call_method<"_check_tree_exists">(ctx.self, {tree_id})) return nullptr;
    const std::optional<TreeRecord> record = load_record(ctx.self, tree_id);
    if (!record) return nullptr;
    const ChannelRef channel = channel_of(record->cond.get());
    // The worker answers the tree's commands, so it cannot also wait for one.
    if (channel->called_from_worker()) {
        return raise_with_reason(ctx, "不能在行为树 ", " 自己的线程中发送命令");
    }
    if (const auto cycle = wait_cycle(*channel); !cycle.empty()) {
        const Ref reason = describe_wait_cycle(cycle);
        return reason ? raise_command_failed(ctx, reason.get()) : nullptr;
    }
    const WaitingOn waiting(*channel);
    const TurnGuard turn(*channel);
    if (channel->stopped) return raise_tree_missing(ctx, tree_id);

    ContextGuard locked(record->cond.get());
    if (!locked.entered() || !wait_for_worker(*record, *channel)) return nullptr;
    {
        const Ref pending = slot_value(record->result);
        if (!pending) return nullptr;
        if (pending.get() == Py_None && channel->worker_ended) return raise_worker_ended(ctx);
    }
    if (interrupted_elsewhere()) return nullptr;  // given up while waiting for the turn: nothing is sent
    const Ref command = command_record(ctx.arg(1), ctx.arg(2));
    if (!command || !set_slot(record->command, command.get())) return nullptr;
    // An interrupt inside notify (it runs Python code) leaves the command sent: it is
    // withdrawn like one interrupted in the wait, so its answer reaches nobody else.
    const Ref triple = call_method<"notify">(record->cond.get(), {}) ? wait_for_result(*record, *channel) : Ref{};
    if (!triple) {
        withdraw(*record, *channel, command.get(), tree_id);
        if (PyErr_Occurred()) return nullptr;
        return raise_worker_ended(ctx);
    }
    Ref value = Ref::steal(take_result(ctx, *record, *channel, triple.get()));
    if (!value || !locked.exit()) return nullptr;
    return value.release();
}

}  // namespace morvlen::mthread

