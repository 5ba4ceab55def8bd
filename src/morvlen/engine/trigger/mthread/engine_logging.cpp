#include "morvlen/engine/trigger/mthread/engine_logging.h"

#include <map>

namespace morvlen::mthread {

namespace {

// Loguru names a record after the module of the Python frame that called the
// logger, and decides from that name whether the record is disabled. The engine
// calls from C++, where the nearest frame is its caller's (or the import
// machinery's), so each line is written through a one-line Python function that
// runs in the engine module's namespace and carries the engine method's name.
PyObject* writer_code(std::string_view method, PyObject* globals) {
    static std::map<std::string_view, PyObject*> codes;  // kept for the process; guarded by the GIL
    if (const auto found = codes.find(method); found != codes.end()) return found->second;
    PyObject* file = PyDict_GetItemString(globals, "__file__");
    const char* filename = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : kModuleName.data();
    if (!filename) return nullptr;
    const Ref compiled = Ref::steal(Py_CompileString("def write(log, message):\n    log(message)\n", filename, Py_file_input));
    if (!compiled) return nullptr;
    // The module's only constant that is code: the function's body.
    PyObject* body = nullptr;
    const Ref constants = get_attr<"co_consts">(compiled.get());
    if (!constants) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(constants.get(), i))) body = PyTuple_GET_ITEM(constants.get(), i);
    }
    const Ref replace = body ? get_attr<"replace">(body) : Ref{};
    const Ref name = str_of(method);
    const Ref kwargs = Ref::steal(PyDict_New());
    if (!replace || !name || !kwargs || PyDict_SetItemString(kwargs.get(), "co_name", name.get()) != 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", name.get()) != 0) {
        return nullptr;
    }
    const Ref empty = Ref::steal(PyTuple_New(0));
    PyObject* code = empty ? PyObject_Call(replace.get(), empty.get(), kwargs.get()) : nullptr;
    if (code) codes.emplace(method, code);
    return code;
}

bool log_at(const CallContext& ctx, PyObject* level, PyObject* message) {
    const Ref logger = ctx.global<"logger">();
    const Ref log = logger ? get_attr(logger.get(), level) : Ref{};
    if (!log) return false;
    PyObject* code = writer_code(ctx.spec.name, ctx.globals);
    const Ref writer = code ? Ref::steal(PyFunction_New(code, ctx.globals)) : Ref{};
    return writer && call(writer.get(), {log.get(), message});
}

}  // namespace

bool log_info(const CallContext& ctx, PyObject* message) { return log_at(ctx, interned<"info">(), message); }

bool log_error(const CallContext& ctx, PyObject* message) { return log_at(ctx, interned<"error">(), message); }

PyObject* raise_logged(const CallContext& ctx, PyObject* exc_type, const Ref& message) {
    if (!message || !log_error(ctx, message.get())) return nullptr;
    PyErr_SetObject(exc_type, message.get());
    return nullptr;
}

}  // namespace morvlen::mthread
