// The ticks that carry their class, and the hook that gives subclasses theirs.
#include "morvlen/nodes/action_node/node_class_tick.h"

#include <string>

#include <nanobind/stl/string.h>

#include "morvlen/core/bindings.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvlen::bt {
namespace {

std::string qualified_name(nb::handle cls) { return nb::cast<std::string>(cls.attr("__qualname__")); }

bool defines_own(nb::handle cls, const char* name) { return nb::cast<bool>(cls.attr("__dict__").attr("__contains__")(name)); }

bool is_coroutine_function(nb::handle function) {
    return nb::cast<bool>(nb::module_::import_("inspect").attr("iscoroutinefunction")(function));
}

// The tick a new subclass gets; None when a condition class has no tick yet (an
// intermediate base class).
nb::object class_tick_for(nb::handle cls, ClassKind kind) {
    NodeClassTick tick{kind, nb::borrow(cls), nb::none()};
    if (kind == ClassKind::Stateful) {
        if (defines_own(cls, "tick")) {
            throw nb::type_error((qualified_name(cls) + " defines tick, but a StatefulActionNode is ticked through its "
                                                        "on_start, on_running and on_halted methods").c_str());
        }
        return nb::cast(std::move(tick));
    }
    nb::object function = nb::getattr(cls, "tick", nb::none());
    if (nb::isinstance<NodeClassTick>(function)) function = nb::cast<const NodeClassTick&>(function).function;
    if (function.is_none()) return function;
    if (is_coroutine_function(function)) {
        throw nb::type_error((qualified_name(cls) + ".tick is a coroutine function, but a condition answers SUCCESS or "
                                                    "FAILURE within its tick").c_str());
    }
    tick.function = std::move(function);
    return nb::cast(std::move(tick));
}

}  // namespace

nb::object NodeClassTick::operator()(nb::handle node) const {
    if (kind == ClassKind::Condition) return function(node);
    throw nb::type_error((qualified_name(cls) + " is a StatefulActionNode: the runtime ticks it through on_start, "
                                                "on_running and on_halted of the instance it makes for each node").c_str());
}

int NodeClassTick::traverse(visitproc visit, void* arg) const {
    Py_VISIT(cls.ptr());
    Py_VISIT(function.ptr());
    return 0;
}

void NodeClassTick::clear() noexcept {
    cls.reset();
    function.reset();
}

void install_class_tick(nb::handle base, ClassKind kind) {
    // Python calls a base's __init_subclass__ for every new subclass: a classmethod
    // here, so that it receives the subclass. The base type lives as long as the
    // module, which holds the hook through it.
    nb::object hook = nb::cpp_function(
        [base, kind](nb::handle cls, nb::kwargs kwargs) {
            nb::module_::import_("builtins").attr("super")(base, cls).attr("__init_subclass__")(**kwargs);
            if (nb::object tick = class_tick_for(cls, kind); !tick.is_none()) nb::setattr(cls, "tick", tick);
        },
        nb::name("__init_subclass__"));
    nb::setattr(base, "__init_subclass__", nb::module_::import_("builtins").attr("classmethod")(hook));
}

void bind_node_class_tick(nb::module_& m) {
    nb::class_<NodeClassTick>(m, "NodeClassTick",
                              "The tick of a StatefulActionNode or ConditionNode subclass, set on the subclass when it is "
                              "created. It carries its class, so that registering only cls.tick still registers that "
                              "kind of node.",
                              nb::type_slots(gc_slots<NodeClassTick>()))
        .def_prop_ro(
            "node_class", [](const NodeClassTick& self) { return nb::borrow<nb::type_object>(self.cls); },
            "The class this tick belongs to.")
        .def("__call__", &NodeClassTick::operator(), "node"_a.none(),
             "A condition's tick(node) itself; TypeError for a StatefulActionNode, which only the runtime ticks.");
}

}  // namespace morvlen::bt
