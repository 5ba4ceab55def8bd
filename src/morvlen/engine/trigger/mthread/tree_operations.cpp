// The public operations on one tree: each sends its command (named in the method
// table) with its arguments after `tree_id` as parameters, and hands back the
// answer; the return check is the method function's.
#include "morvlen/engine/trigger/mthread/engine_methods.h"

namespace morvlen::mthread {

namespace {

// {name: argument} for every argument after tree_id, in signature order.
Ref parameters_record(const CallContext& ctx) {
    Ref params = Ref::steal(PyDict_New());
    if (!params) return {};
    for (size_t i = 1; i < ctx.spec.params.size(); ++i) {
        if (PyDict_SetItem(params.get(), ctx.param_name(i), ctx.arg(i)) < 0) return {};
    }
    return params;
}

}  // namespace

PyObject* tree_operation(const CallContext& ctx) {
    Ref answer;
    if (ctx.spec.params.size() == 1) {
        answer = call_method<"_send_command">(ctx.self, {ctx.arg(0), ctx.command_type});
    } else {
        const Ref params = parameters_record(ctx);
        if (!params) return nullptr;
        answer = call_method<"_send_command">(ctx.self, {ctx.arg(0), ctx.command_type, params.get()});
    }
    if (!answer) return nullptr;
    if (ctx.spec.return_annotation == "None") Py_RETURN_NONE;
    return answer.release();
}

}  // namespace morvlen::mthread
