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

// self.trees[tree_id], then its cond, command and result, in that order.
inline std::optional<TreeRecord> load_record(PyObject* self, PyObject* tree_id) {
    const Ref trees = get_attr(self, "trees");
    if (!trees) return std::nullopt;
    TreeRecord r;
    r.record = Ref::steal(PyObject_GetItem(trees.get(), tree_id));
    if (!r.record) return std::nullopt;
    for (auto [field, key] : {std::pair{&r.cond, "cond"}, {&r.command, "command"}, {&r.result, "result"}}) {
        PyObject* name = interned(key);
        *field = name ? Ref::steal(PyObject_GetItem(r.record.get(), name)) : Ref{};
        if (!*field) return std::nullopt;
    }
    return r;
}

// Element 0 of a slot list (a new reference), or null with an exception set.
inline Ref slot_value(const Ref& slot_list) {
    return Ref::steal(PySequence_GetItem(slot_list.get(), 0));
}

inline bool set_slot(const Ref& slot_list, PyObject* value) {
    return PySequence_SetItem(slot_list.get(), 0, value) == 0;
}

}  // namespace morvlen::mthread
