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

constexpr const char* condition_tick = "__condition_tick__";

// Checks a new subclass: a stateful class defines no tick; a condition's own tick
// (not a coroutine function) is moved under __condition_tick__, where the tick the
// descriptor makes finds it.
void check_new_subclass(nb::handle cls, ClassKind kind) {
    if (!defines_own(cls, "tick")) return;
    if (kind == ClassKind::Stateful) {
        throw nb::type_error((qualified_name(cls) + " defines tick, but a StatefulActionNode is ticked through its "
                                                    "on_start, on_running and on_halted methods").c_str());
    }
    nb::object function = cls.attr("tick");  // a static method read from the class: its function
    if (is_coroutine_function(function)) {
        throw nb::type_error((qualified_name(cls) + ".tick is a coroutine function, but a condition answers SUCCESS or "
                                                    "FAILURE within its tick").c_str());
    }
    nb::setattr(cls, condition_tick, function);
    nb::delattr(cls, "tick");
}

// The descriptor `tick` of the base classes: reading it from a class (or an
// instance) gives that class's NodeClassTick. A plain CPython type: it lives in the
// bound base classes until the interpreter ends, which nanobind would report as a
// leak of one of its own instances.
struct ClassTickDescriptor {
    PyObject_HEAD
    ClassKind kind;
};

PyObject* class_tick_get(PyObject* self, PyObject* instance, PyObject* owner) noexcept {
    try {
        const ClassKind kind = reinterpret_cast<ClassTickDescriptor*>(self)->kind;
        const nb::handle cls = owner ? nb::handle(owner) : nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
        nb::object function = kind == ClassKind::Condition ? nb::getattr(cls, condition_tick, nb::none()) : nb::none();
        return nb::cast(NodeClassTick{kind, nb::borrow(cls), std::move(function)}).release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
        return nullptr;
    }
}

nb::object make_descriptor(ClassKind kind) {
    static PyType_Slot slots[] = {{Py_tp_descr_get, reinterpret_cast<void*>(&class_tick_get)}, {0, nullptr}};
    static PyType_Spec spec = {"morvlen.nodes.action_node.ClassTickDescriptor", sizeof(ClassTickDescriptor), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    static PyObject* type = PyType_FromSpec(&spec);  // made once, kept for the process
    if (!type) throw nb::python_error();
    nb::object descriptor = nb::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
    if (!descriptor.is_valid()) throw nb::python_error();
    reinterpret_cast<ClassTickDescriptor*>(descriptor.ptr())->kind = kind;
    return descriptor;
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
    nb::setattr(base, "tick", make_descriptor(kind));
    // Python calls a base's __init_subclass__ for every new subclass: a classmethod
    // here, so that it receives the subclass. The base type lives as long as the
    // module, which holds the hook through it.
    nb::object hook = nb::cpp_function(
        [base, kind](nb::handle cls, nb::kwargs kwargs) {
            nb::module_::import_("builtins").attr("super")(base, cls).attr("__init_subclass__")(**kwargs);
            check_new_subclass(cls, kind);
        },
        nb::name("__init_subclass__"));
    nb::setattr(base, "__init_subclass__", nb::module_::import_("builtins").attr("classmethod")(hook));
}

void bind_node_class_tick(nb::module_& m) {
    nb::class_<NodeClassTick>(m, "NodeClassTick",
                              "The tick of a StatefulActionNode or ConditionNode subclass: what reading `tick` from such a "
                              "class gives. It carries its class, so that registering only cls.tick still registers that "
                              "kind of node.",
                              nb::type_slots(gc_slots<NodeClassTick>()))
        .def_prop_ro(
            "node_class", [](const NodeClassTick& self) { return nb::borrow<nb::type_object>(self.cls); },
            "The class this tick belongs to.")
        .def("__call__", &NodeClassTick::operator(), "node"_a.none(),
             "A condition's tick(node) itself; TypeError for a StatefulActionNode, which only the runtime ticks.");
}

}  // namespace morvlen::bt
