// Creating trees: a record in `trees` and a started worker thread per tree.
#include "morvlen/engine/trigger/mthread/context_guard.h"
#include "morvlen/engine/trigger/mthread/engine_logging.h"
#include "morvlen/engine/trigger/mthread/engine_methods.h"

namespace morvlen::mthread {

namespace {

// "tree_" + the number of registered trees.
Ref generated_id(PyObject* trees) {
    const Py_ssize_t count = PyObject_Size(trees);
    if (count < 0) return {};
    return Ref::steal(PyUnicode_FromFormat("tree_%zd", count));
}

Ref new_record(const CallContext& ctx) {
    const Ref threading = ctx.global<"threading">();
    const Ref condition_type = threading ? get_attr<"Condition">(threading.get()) : Ref{};
    const Ref cond = condition_type ? call(condition_type.get(), {}) : Ref{};
    const Ref command = Ref::steal(Py_BuildValue("[O]", Py_None));
    const Ref result = Ref::steal(Py_BuildValue("[O]", Py_None));
    Ref record = Ref::steal(PyDict_New());
    if (!cond || !command || !result || !record ||
        PyDict_SetItemString(record.get(), "cond", cond.get()) < 0 ||
        PyDict_SetItemString(record.get(), "command", command.get()) < 0 ||
        PyDict_SetItemString(record.get(), "result", result.get()) < 0 ||
        PyDict_SetItemString(record.get(), "thread", Py_None) < 0) {
        return {};
    }
    return record;
}

// threading.Thread(target=self._run_tree, args=(tree_id, xml_text)), stored in
// the record, then started.
bool start_worker(const CallContext& ctx, PyObject* record, PyObject* tree_id, PyObject* xml_text) {
    const Ref threading = ctx.global<"threading">();
    const Ref thread_type = threading ? get_attr<"Thread">(threading.get()) : Ref{};
    const Ref target = get_attr<"_run_tree">(ctx.self);
    const Ref args = Ref::steal(PyTuple_Pack(2, tree_id, xml_text));
    const Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "target", "args"));
    if (!thread_type || !target || !args || !kwnames) return false;
    PyObject* stack[] = {target.get(), args.get()};
    const Ref thread = Ref::steal(PyObject_Vectorcall(thread_type.get(), stack, 0, kwnames.get()));
    return thread && PyDict_SetItemString(record, "thread", thread.get()) == 0 &&
           call_method<"start">(thread.get(), {});
}

// A creation whose worker could not be made takes its record back out, if it is
// still the one registered, and lets the failure through.
void take_back(PyObject* trees, PyObject* tree_id, PyObject* record) {
    PendingException pending;
    PyObject* registered = PyDict_Check(trees) ? PyDict_GetItemWithError(trees, tree_id) : nullptr;
    if (registered == record) PyDict_DelItem(trees, tree_id);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(trees);
    pending.restore();
}

}  // namespace

PyObject* create_tree_from_text(const CallContext& ctx) {
    PyObject* xml_text = ctx.arg(0);
    const Ref trees = get_attr<"trees">(ctx.self);
    if (!trees) return nullptr;
    const Ref tree_id = ctx.arg(1) == Py_None ? generated_id(trees.get()) : Ref::borrow(ctx.arg(1));
    if (!tree_id) return nullptr;
    const int taken = PySequence_Contains(trees.get(), tree_id.get());
    if (taken < 0) return nullptr;
    if (taken) {
        return raise_logged(ctx, PyExc_ValueError,
                            MessageBuilder().text("行为树ID ").value(tree_id.get()).text(" 已存在").build());
    }
    const Ref record = new_record(ctx);
    if (!record || PyObject_SetItem(trees.get(), tree_id.get(), record.get()) < 0) return nullptr;
    if (!start_worker(ctx, record.get(), tree_id.get(), xml_text)) {
        take_back(trees.get(), tree_id.get(), record.get());
        return nullptr;
    }
    const Ref line = MessageBuilder().text("创建行为树: ").value(tree_id.get()).build();
    if (!line || !log_info(ctx, line.get())) return nullptr;
    return Ref(tree_id).release();
}

PyObject* create_tree_from_file(const CallContext& ctx) {
    const Ref open = ctx.global<"open">();
    const Ref mode = str_of("r");
    const Ref kwnames = Ref::steal(Py_BuildValue("(s)", "encoding"));
    const Ref encoding = str_of("utf-8");
    if (!open || !mode || !kwnames || !encoding) return nullptr;
    PyObject* stack[] = {ctx.arg(0), mode.get(), encoding.get()};
    const Ref file = Ref::steal(PyObject_Vectorcall(open.get(), stack, 2, kwnames.get()));
    if (!file) return nullptr;
    Ref xml_text;
    {
        ContextGuard opened(file.get());
        if (!opened.entered()) return nullptr;
        xml_text = call_method<"read">(opened.value(), {});
        if (!xml_text || !opened.exit()) return nullptr;
    }
    return call_method<"create_tree_from_text">(ctx.self, {xml_text.get(), ctx.arg(1)}).release();
}

}  // namespace morvlen::mthread
