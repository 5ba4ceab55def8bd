// Carrying out one command against a tree's own runtime engine, on its worker.
#include <array>
#include <string_view>
#include <vector>

#include "morvlen/engine/trigger/mthread/command_cancellation.h"
#include "morvlen/engine/trigger/mthread/engine_logging.h"
#include "morvlen/engine/trigger/mthread/exception_text.h"
#include "morvlen/engine/trigger/mthread/engine_methods.h"
#include "morvlen/engine/trigger/mthread/tree_record.h"

namespace morvlen::mthread {

namespace {

enum class Default { None, One };

struct CommandParam {
    InternedText name;
    Default fallback;
};

struct CommandRow {
    InternedText type;
    InternedText operation;  // the runtime engine's method
    std::vector<CommandParam> params;
    bool returns_value;  // false: the triple carries None
};

// The command types, in the order they are matched.
const std::vector<CommandRow>& command_rows() {
    static const std::vector<CommandRow> rows{
        {"tick_once", "tick_once", {}, true},
        {"tick_until_failure", "tick_until_failure", {}, true},
        {"tick_until_success", "tick_until_success", {}, true},
        {"tick_n_times", "tick_n_times", {{"n", Default::One}}, true},
        {"get_status", "get_tree_status", {}, true},
        {"get_blackboard_data", "get_blackboard_data", {{"key", Default::None}}, true},
        {"set_blackboard_data", "set_blackboard_data",
         {{"key", Default::None}, {"value", Default::None}}, false},
        {"get_all_blackboard_data", "get_all_blackboard_data", {}, true},
        {"reset", "reset_tree", {}, false},
    };
    return rows;
}

// params.get(name, default), for whatever object `params` is; an exact dict's
// get cannot be overridden, so it is read directly.
Ref read_param(PyObject* params, const CommandParam& param) {
    const Ref fallback = param.fallback == Default::One ? Ref::steal(PyLong_FromLong(1)) : Ref::none();
    PyObject* name = param.name.get();
    if (!fallback || !name) return {};
    if (PyDict_CheckExact(params)) {
        PyObject* found = PyDict_GetItemWithError(params, name);
        if (found) return Ref::borrow(found);
        return PyErr_Occurred() ? Ref{} : fallback;
    }
    return call_method<"get">(params, {name, fallback.get()});
}

bool store_triple(PyObject* result, PyObject* type, PyObject* tree_id, PyObject* value) {
    const Ref triple = triple_of(type, tree_id, value);
    return triple && set_first(result, triple.get());
}

bool store_error(const CallContext& ctx, PyObject* result, PyObject* tree_id, const Ref& message) {
    PyObject* error = interned<"error">();
    return message && error && log_error(ctx, message.get()) &&
           store_triple(result, error, tree_id, message.get());
}

bool run_row(const CommandRow& row, PyObject* engine, PyObject* params, PyObject* tree_id,
             PyObject* result) {
    std::array<Ref, 2> values;
    std::array<PyObject*, 3> stack{engine};
    for (size_t i = 0; i < row.params.size(); ++i) {
        values[i] = read_param(params, row.params[i]);
        if (!values[i]) return false;
        stack[i + 1] = values[i].get();
    }
    PyObject* op_name = row.operation.get();
    if (!op_name) return false;
    Ref value = Ref::steal(PyObject_VectorcallMethod(op_name, stack.data(),
                                                     row.params.size() + 1, nullptr));
    if (!value) return false;
    if (!row.returns_value) value = Ref::none();
    PyObject* type = row.type.get();
    return type && store_triple(result, type, tree_id, value.get());
}

// Step 3: match the type and run the row, or report an unknown type.
bool execute(const CallContext& ctx, PyObject* engine, PyObject* type, PyObject* params,
             PyObject* tree_id, PyObject* result) {
    for (const CommandRow& row : command_rows()) {
        const int equal = equals_text(type, row.type.get());
        if (equal < 0) return false;
        if (equal) return run_row(row, engine, params, tree_id, result);
    }
    return store_error(ctx, result, tree_id,
                       MessageBuilder().text("未知命令类型: ").value(type).build());
}

}  // namespace

PyObject* process_command(const CallContext& ctx) {
    PyObject* engine = ctx.arg(0);
    PyObject* command = ctx.arg(1);
    PyObject* tree_id = ctx.arg(2);
    PyObject* result = ctx.arg(3);

    PyObject* type_key = interned<"type">();
    PyObject* params_key = interned<"params">();
    if (!type_key || !params_key) return nullptr;
    PyObject* found_type = PyDict_GetItemWithError(command, type_key);
    if (!found_type && PyErr_Occurred()) return nullptr;
    const Ref type = Ref::borrow(found_type ? found_type : Py_None);
    PyObject* found_params = PyDict_GetItemWithError(command, params_key);
    if (!found_params && PyErr_Occurred()) return nullptr;
    const Ref params = found_params ? Ref::borrow(found_params) : Ref::steal(PyDict_New());
    if (!params) return nullptr;

    if (execute(ctx, engine, type.get(), params.get(), tree_id, result)) Py_RETURN_NONE;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    // A failure of the command itself becomes an error result for its caller.
    const Ref error = Ref::steal(PyErr_GetRaisedException());
    const Ref message = MessageBuilder()
                            .text("处理命令 ")
                            .value(type.get())
                            .text(" 时发生错误: ")
                            .value(exception_text(error.get()).get())
                            .build();
    if (!store_error(ctx, result, tree_id, message)) return nullptr;
    remember_failure(message, error);  // its caller gets the exception as __cause__
    Py_RETURN_NONE;
}

}  // namespace morvlen::mthread
