// Construction of the engine, the registry check and the list of tree ids.
#include "morvlen/engine/trigger/mthread/engine_logging.h"
#include "morvlen/engine/trigger/mthread/engine_methods.h"

namespace morvlen::mthread {

PyObject* engine_init(const CallContext& ctx) {
    const Ref factory_type = ctx.global<"BehaviorTreeFactory">();
    const Ref factory = factory_type ? call(factory_type.get(), {}) : Ref{};
    if (!factory || !set_attr<"factory">(ctx.self, factory.get())) return nullptr;
    const Ref trees = Ref::steal(PyDict_New());
    if (!trees || !set_attr<"trees">(ctx.self, trees.get())) return nullptr;
    const Ref registrations = Ref::steal(PyList_New(0));
    if (!registrations || !set_attr<"action_registrations">(ctx.self, registrations.get())) return nullptr;
    const Ref line = str_of("初始化线程引擎");
    if (!line || !log_info(ctx, line.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* check_tree_exists(const CallContext& ctx) {
    PyObject* tree_id = ctx.arg(0);
    const Ref trees = get_attr<"trees">(ctx.self);
    if (!trees) return nullptr;
    const int known = PySequence_Contains(trees.get(), tree_id);
    if (known < 0) return nullptr;
    if (known) Py_RETURN_NONE;
    return raise_tree_missing(ctx, tree_id);
}

PyObject* raise_tree_missing(const CallContext& ctx, PyObject* tree_id) {
    return raise_logged(ctx, PyExc_ValueError,
                        MessageBuilder().text("行为树ID ").value(tree_id).text(" 不存在").build());
}

PyObject* get_tree_ids(const CallContext& ctx) {
    const Ref trees = get_attr<"trees">(ctx.self);
    return trees ? PySequence_List(trees.get()) : nullptr;
}

}  // namespace morvlen::mthread
