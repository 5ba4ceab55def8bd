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

// A tick function is called with the node alone. The usual slip is a class whose
// tick is an instance method (def tick(self, node)): refused here, with the fix.
void check_tick_signature(nb::handle function, const std::string& action_id) {
    const nb::module_ inspect = nb::module_::import_("inspect");
    nb::object signature;
    try {
        signature = inspect.attr("signature")(function);
    } catch (const nb::python_error&) {
        return;  // no signature to read (some builtins): the call will tell
    }
    try {
        signature.attr("bind")(nb::none());
    } catch (const nb::python_error& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        const nb::object names = nb::module_::import_("builtins").attr("list")(signature.attr("parameters"));
        const bool method = nb::len(names) > 0 && nb::cast<std::string>(names[0]) == "self";
        throw nb::type_error(("action '" + action_id + "': the tick function " + describe(function) + " takes " +
                              nb::cast<std::string>(nb::str(signature)) + ", but is called with the node alone" +
                              (method ? "; make tick a @staticmethod taking only node" : "")).c_str());
    }
}

PythonNodeKind class_kind(const NodeClassTick& tick, const std::string& action_id) {
    if (tick.kind == ClassKind::Condition) {
        if (tick.function.is_none()) {
            throw nb::type_error(("action '" + action_id + "': " + describe(tick.cls) + " defines no tick(node)").c_str());
        }
        check_tick_signature(tick.function, action_id);
        return {NodeKind::Condition, cleaned_doc(tick.cls), &make_condition_node};
    }
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
    if (nb::isinstance<NodeClassTick>(tick)) return class_kind(nb::cast<const NodeClassTick&>(tick), action_id);
    if (!PyCallable_Check(tick.ptr())) {
        throw nb::type_error(("action '" + action_id + "': the tick function " + describe(tick) + " is not callable").c_str());
    }
    check_tick_signature(tick, action_id);
    const bool coroutine_function = nb::cast<bool>(nb::module_::import_("inspect").attr("iscoroutinefunction")(tick));
    return {NodeKind::Action, function_doc(tick), coroutine_function ? &make_async_node : &make_plain_action};
}

}  // namespace morvlen::bt
