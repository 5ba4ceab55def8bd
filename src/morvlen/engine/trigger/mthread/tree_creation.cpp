// Creating trees: a record in `trees` and a started worker thread per tree.
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "morvlen/engine/trigger/mthread/context_guard.h"
#include "morvlen/engine/trigger/mthread/engine_logging.h"
#include "morvlen/engine/trigger/mthread/engine_methods.h"
#include "morvlen/engine/trigger/mthread/tree_channel.h"
#include "morvlen/engine/trigger/mthread/tree_record.h"

namespace morvlen::mthread {

namespace {

// "tree_" + the first number from `number` on that names no registered tree.
// Starting from the number of registered trees, an id stays free of a tree that
// a stop left behind under a higher number.
Ref free_generated_id(PyObject* trees, Py_ssize_t& number) {
    for (;; ++number) {
        Ref id = Ref::steal(PyUnicode_FromFormat("tree_%zd", number));
        const int taken = id ? PySequence_Contains(trees, id.get()) : -1;
        if (taken < 0) return {};
        if (!taken) return id;
    }
}

enum class Registered { Yes, Taken, Failed };

// trees[tree_id] = record unless the id is taken. For the engine's own dict
// this is one step with no interpreter code in between, so of two threads
// registering one id exactly one wins.
Registered register_record(PyObject* trees, PyObject* tree_id, PyObject* record) {
    if (PyDict_CheckExact(trees)) {
        PyObject* held = PyDict_SetDefault(trees, tree_id, record);
        if (!held) return Registered::Failed;
        return held == record ? Registered::Yes : Registered::Taken;
    }
    const int taken = PySequence_Contains(trees, tree_id);
    if (taken < 0) return Registered::Failed;
    if (taken) return Registered::Taken;
    return PyObject_SetItem(trees, tree_id, record) < 0 ? Registered::Failed : Registered::Yes;
}

PyObject* raise_duplicate(const CallContext& ctx, PyObject* tree_id) {
    return raise_logged(ctx, PyExc_ValueError,
                        MessageBuilder().text("行为树ID ").value(tree_id).text(" 已存在").build());
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

// What a path names when it is neither a regular file nor a directory, or null.
const char* special_file_kind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return nullptr;
}

// Opening a FIFO waits for a writer, and a device may never end: such a path is
// refused with an OSError naming it before open() is tried. Regular files and
// directories, and paths that cannot be looked at here, are left to open(),
// which reports its own errors as before. False with the exception set.
bool refuse_special_file(PyObject* path) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) {
        PyErr_Clear();  // not a path (a file descriptor, say): open() decides
        return true;
    }
    const Ref encoded = Ref::steal(converted);
    struct stat info {};
    int status = 0;
    Py_BEGIN_ALLOW_THREADS
    status = ::stat(PyBytes_AS_STRING(encoded.get()), &info);
    Py_END_ALLOW_THREADS
    const char* kind = status == 0 ? special_file_kind(info.st_mode) : nullptr;
    if (!kind) return true;
    const std::string reason = std::string("Not a regular file but ") + kind;
    const Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", EINVAL, reason.c_str(), path));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

}  // namespace

PyObject* create_tree_from_text(const CallContext& ctx) {
    PyObject* xml_text = ctx.arg(0);
    const Ref trees = get_attr<"trees">(ctx.self);
    if (!trees) return nullptr;
    const bool generated = ctx.arg(1) == Py_None;
    Py_ssize_t number = generated ? PyObject_Size(trees.get()) : 0;
    if (number < 0) return nullptr;
    Ref tree_id = generated ? free_generated_id(trees.get(), number) : Ref::borrow(ctx.arg(1));
    if (!tree_id) return nullptr;
    if (!generated) {
        const int taken = PySequence_Contains(trees.get(), tree_id.get());
        if (taken < 0) return nullptr;
        if (taken) return raise_duplicate(ctx, tree_id.get());
    }
    const Ref record = new_record(ctx);
    const Ref cond = record ? item(record.get(), interned<"cond">()) : Ref{};
    if (!cond) return nullptr;
    {
        // A stop or command that finds the record before its worker has started
        // waits for this turn, so it never sees a record without its worker.
        const ChannelRef channel = channel_of(cond.get());
        const TurnGuard turn(*channel);
        // Another thread may have registered the id since the check above.
        for (;;) {
            const Registered outcome = register_record(trees.get(), tree_id.get(), record.get());
            if (outcome == Registered::Failed) return nullptr;
            if (outcome == Registered::Yes) break;
            if (!generated) return raise_duplicate(ctx, tree_id.get());
            tree_id = free_generated_id(trees.get(), ++number);
            if (!tree_id) return nullptr;
        }
        if (!start_worker(ctx, record.get(), tree_id.get(), xml_text)) {
            channel->stopped = true;
            take_back(trees.get(), tree_id.get(), record.get());
            return nullptr;
        }
    }
    const Ref line = MessageBuilder().text("创建行为树: ").value(tree_id.get()).build();
    if (!line || !log_info(ctx, line.get())) return nullptr;
    return tree_id.release();
}

PyObject* create_tree_from_file(const CallContext& ctx) {
    if (!refuse_special_file(ctx.arg(0))) return nullptr;
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
