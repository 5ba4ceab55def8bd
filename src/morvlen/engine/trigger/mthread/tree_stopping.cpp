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

}  // namespace

PyObject* stop_tree(const CallContext& ctx) {
    PyObject* tree_id = ctx.arg(0);
    if (!call_method<"_check_tree_exists">(ctx.self, {tree_id})) return nullptr;
    const std::optional<TreeRecord> record = load_record(ctx.self, tree_id);
    if (!record) return nullptr;
    {
        const ChannelRef channel = channel_of(record->cond.get());
        // Waits for a command in flight instead of overtaking it, cancelling its
        // tick loop meanwhile (a loop would keep the turn for ever). A worker that
        // stops its own tree skips the turn; its join then refuses.
        std::optional<TurnGuard> turn;
        if (!channel->called_from_worker()) {
            turn.emplace(*channel, [&] { cancel_for_stop(*channel, tree_id); });
        }
        if (!request_stop(*record) || !join_worker(*record)) return nullptr;
    }
    const Ref trees = get_attr<"trees">(ctx.self);
    if (!trees || PyObject_DelItem(trees.get(), tree_id) < 0) return nullptr;
    const Ref line = MessageBuilder().text("停止行为树: ").value(tree_id).build();
    if (!line || !log_info(ctx, line.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* stop_all_trees(const CallContext& ctx) {
    const Ref trees = get_attr<"trees">(ctx.self);
    const Ref ids = trees ? Ref::steal(PySequence_List(trees.get())) : Ref{};
    if (!ids) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        if (!call_method<"stop_tree">(ctx.self, {PyList_GET_ITEM(ids.get(), i)})) return nullptr;
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
