// Stopping trees: the stop request through the record, the join, the removal.
#include <optional>

#include "morvlen/engine/trigger/mthread/command_cancellation.h"
#include "morvlen/engine/trigger/mthread/context_guard.h"
#include "morvlen/engine/trigger/mthread/engine_logging.h"
#include "morvlen/engine/trigger/mthread/engine_methods.h"
#include "morvlen/engine/trigger/mthread/tree_channel.h"
#include "morvlen/engine/trigger/mthread/tree_record.h"

namespace morvlen::mthread {

namespace {

bool request_stop(const TreeRecord& r) {
    ContextGuard locked(r.cond.get());
    return locked.entered() && set_slot(r.command, Py_False) &&
           call_method<"notify">(r.cond.get(), {}) && locked.exit();
}

// Joins the record's worker. A thread that was never started (a creation that
// failed at the thread step) has nothing to join.
bool join_worker(const TreeRecord& r) {
    const Ref thread = Ref::steal(PyMapping_GetItemString(r.record.get(), "thread"));
    if (!thread) return false;
    if (thread.get() == Py_None) return true;
    const Ref ident = get_attr<"ident">(thread.get());
    if (!ident) return false;
    if (ident.get() == Py_None) return true;
    return static_cast<bool>(call_method<"join">(thread.get(), {}));
}

// del trees[tree_id] when it still holds `record`.
bool remove_record(PyObject* trees, PyObject* tree_id, PyObject* record) {
    const Ref registered = Ref::steal(PyObject_GetItem(trees, tree_id));
    if (!registered) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
        return true;
    }
    return registered.get() != record || PyObject_DelItem(trees, tree_id) == 0;
}

// After a failed stop inside stop_all_trees: true, with the failure cleared,
// when it was the unknown-id refusal for a tree that another thread stopped
// since the snapshot of ids was taken (its refusal is already logged).
bool stopped_meanwhile(PyObject* trees, PyObject* tree_id) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PendingException pending;
    const int registered = PySequence_Contains(trees, tree_id);
    if (registered != 0) {
        if (registered < 0) PyErr_WriteUnraisable(trees);
        pending.restore();
        return false;
    }
    return true;
}

}  // namespace

PyObject* stop_tree(const CallContext& ctx) {
    PyObject* tree_id = ctx.arg(0);
    if (!call_method<"_check_tree_exists">(ctx.self, {tree_id})) return nullptr;
    const std::optional<TreeRecord> record = load_record(ctx.self, tree_id);
    if (!record) return nullptr;
    const Ref trees = get_attr<"trees">(ctx.self);
    if (!trees) return nullptr;
    {
        const ChannelRef channel = channel_of(record->cond.get());
        // Waits for a command in flight instead of overtaking it, cancelling its
        // tick loop meanwhile (a loop would keep the turn for ever), and for a stop
        // of the same tree by another thread, which leaves this one nothing to
        // stop. A worker that stops its own tree skips the turn; its join then
        // refuses.
        std::optional<TurnGuard> turn;
        if (!channel->called_from_worker()) {
            turn.emplace(*channel, [&] { cancel_for_stop(*channel, tree_id); });
        }
        if (channel->stopped) return raise_tree_missing(ctx, tree_id);
        if (!request_stop(*record) || !join_worker(*record)) return nullptr;
        channel->stopped = true;
        // A tree created again under this id meanwhile is not this stop's.
        if (!remove_record(trees.get(), tree_id, record->record.get())) return nullptr;
    }
    const Ref line = MessageBuilder().text("停止行为树: ").value(tree_id).build();
    if (!line || !log_info(ctx, line.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* stop_all_trees(const CallContext& ctx) {
    const Ref trees = get_attr<"trees">(ctx.self);
    const Ref ids = trees ? Ref::steal(PySequence_List(trees.get())) : Ref{};
    if (!ids) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        PyObject* tree_id = PyList_GET_ITEM(ids.get(), i);
        if (!call_method<"stop_tree">(ctx.self, {tree_id}) && !stopped_meanwhile(trees.get(), tree_id)) {
            return nullptr;
        }
    }
    const Ref line = str_of("停止所有行为树");
    if (!line || !log_info(ctx, line.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* finalize_engine(const CallContext& ctx) {
    if (!call_method<"stop_all_trees">(ctx.self, {})) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace morvlen::mthread
