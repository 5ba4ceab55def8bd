// Telling the kind of node a registered tick object makes.
#include "morvlen/nodes/action_node/node_kinds.h"

#include <nanobind/stl/string.h>

#include "morvlen/core/port_values.h"
#include "morvlen/nodes/action_node/async_action.h"
#include "morvlen/nodes/action_node/condition_node.h"
#include "morvlen/nodes/action_node/node_class_tick.h"
#include "morvlen/nodes/action_node/python_action.h"
#include "morvlen/nodes/action_node/stateful_action.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

// Only functions describe themselves: any other callable's __doc__ is usually its
// type's (functools.partial, builtins, instances of callable classes).
std::string function_doc(nb::handle function) {
    const nb::module_ inspect = nb::module_::import_("inspect");
    const bool own = nb::cast<bool>(inspect.attr("isfunction")(function)) || nb::cast<bool>(inspect.attr("ismethod")(function));
    return own ? cleaned_doc(function) : std::string();
}

PythonNodeKind class_kind(const NodeClassTick& tick) {
    if (tick.kind == ClassKind::Condition) return {NodeKind::Condition, cleaned_doc(tick.cls), &make_condition_node};
    check_stateful_class(tick);
    return {NodeKind::Action, cleaned_doc(tick.cls), &make_stateful_node};
}

}  // namespace

std::string cleaned_doc(nb::handle documented) {
    const nb::object doc = nb::getattr(documented, "__doc__", nb::none());
    if (!nb::isinstance<nb::str>(doc)) return {};
    return nb::cast<std::string>(nb::module_::import_("inspect").attr("cleandoc")(doc));
}

PythonNodeKind python_node_kind(nb::handle tick, const std::string& action_id) {
    if (nb::isinstance<NodeClassTick>(tick)) return class_kind(nb::cast<const NodeClassTick&>(tick));
    if (!PyCallable_Check(tick.ptr())) {
        throw nb::type_error(("action '" + action_id + "': the tick function " + describe(tick) + " is not callable").c_str());
    }
    const bool coroutine_function = nb::cast<bool>(nb::module_::import_("inspect").attr("iscoroutinefunction")(tick));
    return {NodeKind::Action, function_doc(tick), coroutine_function ? &make_async_node : &make_plain_action};
}

}  // namespace morvlen::bt
