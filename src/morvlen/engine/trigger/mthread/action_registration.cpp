// Recording action nodes for the trees created afterwards.
#include "morvlen/engine/trigger/mthread/engine_logging.h"
#include "morvlen/engine/trigger/mthread/engine_methods.h"

namespace morvlen::mthread {

PyObject* register_action_behavior(const CallContext& ctx) {
    PyObject* action_id = ctx.arg(0);
    const Ref line = MessageBuilder().text("注册动作节点: ").value(action_id).build();
    if (!line || !log_info(ctx, line.get())) return nullptr;
    const Ref registrations = get_attr<"action_registrations">(ctx.self);
    const Ref entry = Ref::steal(PyTuple_Pack(3, action_id, ctx.arg(1), ctx.arg(2)));
    if (!registrations || !entry) return nullptr;
    if (!call_method<"append">(registrations.get(), {entry.get()})) return nullptr;
    Py_RETURN_NONE;
}

namespace {

// The class's `ports`, inherited ones included; a new empty list when it has none.
Ref ports_of(PyObject* action_class) {
    Ref ports = get_attr<"ports">(action_class);
    if (ports || !PyErr_ExceptionMatches(PyExc_AttributeError)) return ports;
    PyErr_Clear();
    return Ref::steal(PyList_New(0));
}

}  // namespace

PyObject* register_action_class(const CallContext& ctx) {
    PyObject* action_class = ctx.arg(0);
    const Ref base = ctx.global<"SimpleActionNode">();
    if (!base) return nullptr;
    const int derived = PyObject_IsSubclass(action_class, base.get());
    if (derived < 0) return nullptr;
    if (!derived) {
        const Ref name = get_attr<"__name__">(action_class);
        if (!name) return nullptr;
        return raise_logged(ctx, PyExc_TypeError,
                            MessageBuilder().text("节点类 ").value(name.get()).text(" 必须继承自SimpleActionNode").build());
    }
    Ref action_id = Ref::borrow(ctx.arg(1));
    if (action_id.get() == Py_None) action_id = get_attr<"__name__">(action_class);
    if (!action_id) return nullptr;
    const Ref tick = get_attr<"tick">(action_class);
    if (!tick) return nullptr;
    const Ref ports = ports_of(action_class);
    if (!ports) return nullptr;
    if (!call_method<"register_action_behavior">(ctx.self, {action_id.get(), tick.get(), ports.get()})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace morvlen::mthread
