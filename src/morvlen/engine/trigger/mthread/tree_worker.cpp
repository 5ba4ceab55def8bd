// The body of a tree's worker thread: build the tree's runtime engine, then
// serve the tree's commands until the stop request or a failure.
#include "morvlen/engine/trigger/mthread/command_cancellation.h"
#include "morvlen/engine/trigger/mthread/context_guard.h"
#include "morvlen/engine/trigger/mthread/engine_logging.h"
#include "morvlen/engine/trigger/mthread/exception_text.h"
#include "morvlen/engine/trigger/mthread/engine_methods.h"
#include "morvlen/engine/trigger/mthread/tree_channel.h"
#include "morvlen/engine/trigger/mthread/tree_record.h"
#include "morvlen/engine/trigger/mthread/wait_cycles.h"

namespace morvlen::mthread {

namespace {

// Marks the channel's worker as running for the guard's lifetime. When the
// worker ends, by any way out, a caller still waiting for an answer is woken
// so it can be told that nobody will answer.
class WorkerPresence {
public:
    // Holds `cond` itself, which keeps the channel state alive.
    WorkerPresence(PyObject* cond, PyObject* tree_id)
        : cond_(Ref::borrow(cond)), channel_(channel_of(cond)), seat_(*channel_, tree_id) {
        channel_->worker_thread = PyThread_get_thread_ident();
        channel_->worker_running = true;
        channel_->worker_ended = false;
    }
    WorkerPresence(const WorkerPresence&) = delete;
    WorkerPresence& operator=(const WorkerPresence&) = delete;

    ~WorkerPresence() {
        PendingException pending;
        {
            ContextGuard locked(cond_.get());
            if (locked.entered()) {
                channel_->worker_running = false;
                channel_->worker_ended = true;
                channel_->processing = false;
                channel_->engine = {};
                if (channel_->caller_waiting) call_method<"notify">(cond_.get(), {});
                locked.exit();
            }
        }
        if (PyErr_Occurred()) PyErr_WriteUnraisable(cond_.get());
        pending.restore();
    }

    TreeChannel& channel() const { return *channel_; }

private:
    Ref cond_;
    ChannelRef channel_;
    WorkerSeat seat_;
};

// Lets monitors find the tree by the engine and its tree id, without sending it
// commands. Optional: an engine without name_tree is run unnamed.
bool name_for_observers(PyObject* engine, PyObject* owner, PyObject* tree_id) {
    const Ref name_tree = get_attr<"name_tree">(engine);
    if (!name_tree) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    return static_cast<bool>(call(name_tree.get(), {owner, tree_id}));
}

// A tree's runtime engine builds within the document limits set on the engine's
// factory (engine.factory.document_limits), when the factory has them.
bool hand_over_document_limits(const CallContext& ctx, PyObject* engine) {
    const Ref factory = get_attr<"factory">(ctx.self);
    const Ref limits = factory ? get_attr<"document_limits">(factory.get()) : Ref{};
    if (limits) return set_attr<"document_limits">(engine, limits.get());
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

Ref build_engine(const CallContext& ctx, PyObject* tree_id, PyObject* xml_text) {
    const Ref engine_type = ctx.global<"SequentialEngine">();
    Ref engine = engine_type ? call(engine_type.get(), {}) : Ref{};
    if (!engine) return {};
    const Ref registrations = get_attr<"action_registrations">(ctx.self);
    const Ref iterator = registrations ? Ref::steal(PyObject_GetIter(registrations.get())) : Ref{};
    if (!iterator) return {};
    while (const Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        const Ref triple = Ref::steal(PySequence_Tuple(entry.get()));
        if (!triple) return {};
        const Py_ssize_t size = PyTuple_GET_SIZE(triple.get());
        if (size < 3) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", size);
            return {};
        }
        if (size > 3) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
            return {};
        }
        if (!call_method<"register_action_behavior">(engine.get(),
                         {PyTuple_GET_ITEM(triple.get(), 0), PyTuple_GET_ITEM(triple.get(), 1),
                          PyTuple_GET_ITEM(triple.get(), 2)})) {
            return {};
        }
    }
    if (PyErr_Occurred() || !hand_over_document_limits(ctx, engine.get())) return {};
    if (!call_method<"create_tree_from_text">(engine.get(), {xml_text})) return {};
    if (!name_for_observers(engine.get(), ctx.self, tree_id)) return {};
    return engine;
}

// Only the tick loops may go on for ever; a caller can give up waiting on them.
bool runs_a_tick_loop(PyObject* command) {
    PyObject* key = interned<"type">();
    PyObject* until_success = interned<"tick_until_success">();
    PyObject* until_failure = interned<"tick_until_failure">();
    PyObject* type = key && PyDict_CheckExact(command) ? PyDict_GetItemWithError(command, key) : nullptr;
    if (!type || !until_success || !until_failure || !PyUnicode_CheckExact(type)) {
        PyErr_Clear();  // a malformed command is _process_command's to report
        return false;
    }
    return PyUnicode_Compare(type, until_success) == 0 || PyUnicode_Compare(type, until_failure) == 0;
}

// Under the condition: drops the answer of an abandoned command or keeps the
// exception behind an error answer, then frees the command slot for the next.
bool answer(const TreeRecord& r, TreeChannel& channel, CommandFailure failure) {
    if (channel.abandoned) {
        channel.abandoned = false;
        if (!set_slot(r.result, Py_None)) return false;
    } else {
        channel.failure_message = std::move(failure.message);
        channel.failure_cause = std::move(failure.cause);
    }
    return set_slot(r.command, Py_None) && call_method<"notify">(r.cond.get(), {});
}

// Carries out a tick loop command without holding the condition (see tree_channel.h),
// then answers under it: the answer of an abandoned command is dropped, and the
// exception behind an error answer is kept for its caller. False with an
// exception set when _process_command itself raised.
bool carry_out(const CallContext& ctx, const TreeRecord& r, TreeChannel& channel, PyObject* engine,
               PyObject* command, PyObject* tree_id) {
    FailureCollector collector;
    const bool done = static_cast<bool>(call_method<"_process_command">(ctx.self, {engine, command, tree_id, r.result.get()}));
    PendingException escaped;  // put back once the worker is marked done with the command
    CommandFailure failure = collector.take();
    bool answered = false;
    {
        ContextGuard locked(r.cond.get());
        if (locked.entered()) {
            channel.processing = false;
            answered = done && answer(r, channel, std::move(failure)) && locked.exit();
        }
    }
    escaped.restore();
    return answered;
}

// One turn of the command loop. Returns 1 to go on, 0 on the stop request,
// -1 with an exception set.
int serve_one(const CallContext& ctx, const TreeRecord& r, TreeChannel& channel, PyObject* engine, PyObject* tree_id) {
    ContextGuard locked(r.cond.get());
    if (!locked.entered()) return -1;
    Ref command = slot_value(r.command);
    while (command && command.get() == Py_None) {
        if (!call_method<"wait">(r.cond.get(), {})) return -1;
        command = slot_value(r.command);
    }
    if (!command) return -1;
    if (command.get() == Py_False) return locked.exit() ? 0 : -1;
    if (runs_a_tick_loop(command.get())) {
        channel.processing = true;
        channel.abandoned = false;
        if (!locked.exit()) {
            channel.processing = false;
            return -1;
        }
        return carry_out(ctx, r, channel, engine, command.get(), tree_id) ? 1 : -1;
    }
    // Commands that end by themselves are carried out holding the condition.
    FailureCollector collector;
    if (!call_method<"_process_command">(ctx.self, {engine, command.get(), tree_id, r.result.get()})) return -1;
    return answer(r, channel, collector.take()) && locked.exit() ? 1 : -1;
}

// Hands a worker failure back through the result slot.
bool hand_back_failure(const CallContext& ctx, const TreeRecord& r, PyObject* tree_id) {
    const Ref error = Ref::steal(PyErr_GetRaisedException());
    const Ref message = MessageBuilder()
                            .text("行为树线程 ")
                            .value(tree_id)
                            .text(" 发生错误: ")
                            .value(exception_text(error.get()).get())
                            .build();
    if (!message || !log_error(ctx, message.get())) return false;
    ContextGuard locked(r.cond.get());
    if (!locked.entered()) return false;
    const Ref error_type = str_of("error");
    const Ref triple = error_type ? triple_of(error_type.get(), tree_id, message.get()) : Ref{};
    return triple && set_slot(r.result, triple.get()) && call_method<"notify">(r.cond.get(), {}) &&
           locked.exit();
}

}  // namespace

PyObject* run_tree(const CallContext& ctx) {
    PyObject* tree_id = ctx.arg(0);
    PyObject* xml_text = ctx.arg(1);
    const std::optional<TreeRecord> record = load_record(ctx.self, tree_id);
    if (!record) return nullptr;
    const WorkerPresence presence(record->cond.get(), tree_id);

    // The engine lives until the worker returns, failure hand-back included.
    const Ref engine = build_engine(ctx, tree_id, xml_text);
    int state = -1;
    if (engine) {
        presence.channel().engine = engine;  // for cancelling its loops
        while ((state = serve_one(ctx, *record, presence.channel(), engine.get(), tree_id)) == 1) {
        }
    }
    if (state == 0) Py_RETURN_NONE;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    if (!hand_back_failure(ctx, *record, tree_id)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace morvlen::mthread
