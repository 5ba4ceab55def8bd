#pragma once
// The parts of the morvlen._runtime module, one bind function per public package,
// and the Python views shared by several of them.

#include <string_view>
#include <variant>

#include <nanobind/nanobind.h>

#include "morvlen/core/annotated_types.h"
#include "morvlen/core/tree.h"
#include "morvlen/core/xml_document.h"

namespace morvlen::bt {

void bind_core(nanobind::module_& m);
void bind_action_node(nanobind::module_& m);
void bind_sequential_engine(nanobind::module_& m);
// Part of bind_core: the script errors and enum registration.
void bind_scripting(nanobind::module_& m);
// DocumentLimits, in morvlen.core.
void bind_document_limits(nanobind::module_& m);

// A document as the caller gives it: str (already decoded) or bytes (decoded as
// its XML declaration says).
using DocumentArgument = std::variant<nanobind::str, nanobind::bytes>;
struct DocumentText {
    std::string_view data;  // valid while the argument lives
    TextEncoding encoding;
};
// XmlParseError for a str that is not valid Unicode (a lone surrogate). Needs the GIL.
DocumentText document_text(const DocumentArgument& argument);
void bind_observe_package(nanobind::module_& m);

// Garbage-collector slots for a bound type T with traverse(visit, arg) and clear().
template <class T> int traverse_slot(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nanobind::inst_ready(self)) return 0;
    return nanobind::inst_ptr<T>(self)->traverse(visit, arg);
}
template <class T> int clear_slot(PyObject* self) {
    if (nanobind::inst_ready(self)) nanobind::inst_ptr<T>(self)->clear();
    return 0;
}
template <class T> PyType_Slot* gc_slots() {
    static PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&traverse_slot<T>)},
                                  {Py_tp_clear, reinterpret_cast<void*>(&clear_slot<T>)},
                                  {0, nullptr}};
    return slots;
}

// For owners of trees, a finaliser too: T::finalize() halts a tree it alone holds
// before the garbage collector clears any object of its cycle (see Tree::halt_at_end).
template <class T> void finalize_slot(PyObject* self) {
    PyObject* pending = PyErr_GetRaisedException();
    if (nanobind::inst_ready(self)) nanobind::inst_ptr<T>(self)->finalize();
    PyErr_SetRaisedException(pending);
}
template <class T> PyType_Slot* tree_owner_slots() {
    static PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&traverse_slot<T>)},
                                  {Py_tp_clear, reinterpret_cast<void*>(&clear_slot<T>)},
                                  {Py_tp_finalize, reinterpret_cast<void*>(&finalize_slot<T>)},
                                  {0, nullptr}};
    return slots;
}

// {"status": NodeStatus, "tick_count": int, "nodes": [{"path", "name",
// "registration_id", "status"}, ...]}, a new dict. Needs the GIL.
AnyDict tree_status_dict(const Tree& tree);
// The entries of a blackboard (those stored in it, not forwarded), a new dict.
AnyDict blackboard_dict(const Blackboard& blackboard);

}  // namespace morvlen::bt
