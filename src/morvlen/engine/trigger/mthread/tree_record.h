#pragma once
// The tree's record `thread_data` as the engine reads it: the record itself and
// its condition, command list and result list, fetched once per operation.

#include <optional>

#include "morvlen/engine/trigger/mthread/py_ref.h"

namespace morvlen::mthread {

struct TreeRecord {
    Ref record;
    Ref cond;
    Ref command;  // element 0: the command slot
    Ref result;   // element 0: the result slot
};

// mapping[key]. An exact dict is read directly, which is all its subscript
// does; a miss goes the general way, which raises the KeyError.
inline Ref item(PyObject* mapping, PyObject* key) {
    if (!key) return {};
    if (PyDict_CheckExact(mapping)) {
        if (PyObject* found = PyDict_GetItemWithError(mapping, key)) return Ref::borrow(found);
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetItem(mapping, key));
}

// self.trees[tree_id], then its cond, command and result, in that order.
inline std::optional<TreeRecord> load_record(PyObject* self, PyObject* tree_id) {
    const Ref trees = get_attr<"trees">(self);
    if (!trees) return std::nullopt;
    TreeRecord r;
    r.record = item(trees.get(), tree_id);
    if (!r.record) return std::nullopt;
    r.cond = item(r.record.get(), interned<"cond">());
    if (!r.cond) return std::nullopt;
    r.command = item(r.record.get(), interned<"command">());
    if (!r.command) return std::nullopt;
    r.result = item(r.record.get(), interned<"result">());
    if (!r.result) return std::nullopt;
    return r;
}

// Element 0 of a slot list (a new reference), or null with an exception set.
inline Ref slot_value(const Ref& slot_list) {
    PyObject* list = slot_list.get();
    if (PyList_CheckExact(list) && PyList_GET_SIZE(list) > 0) return Ref::borrow(PyList_GET_ITEM(list, 0));
    return Ref::steal(PySequence_GetItem(list, 0));
}

// slot_list[0] = value; an exact list is written directly, as its own item
// assignment would.
inline bool set_first(PyObject* slot_list, PyObject* value) {
    if (PyList_CheckExact(slot_list)) return PyList_SetItem(slot_list, 0, Py_NewRef(value)) == 0;
    return PySequence_SetItem(slot_list, 0, value) == 0;
}

inline bool set_slot(const Ref& slot_list, PyObject* value) { return set_first(slot_list.get(), value); }

// (first, second, third) as a new tuple.
inline Ref triple_of(PyObject* first, PyObject* second, PyObject* third) {
    Ref triple = Ref::steal(PyTuple_New(3));
    if (!triple) return {};
    PyTuple_SET_ITEM(triple.get(), 0, Py_NewRef(first));
    PyTuple_SET_ITEM(triple.get(), 1, Py_NewRef(second));
    PyTuple_SET_ITEM(triple.get(), 2, Py_NewRef(third));
    return triple;
}

}  // namespace morvlen::mthread
