#pragma once
// The engine's typing convention: parameters and results annotated with a
// built-in type accept exactly that type (no subclass instances), derived from
// the annotation text of the method table once, when a method's function is
// made, so a call only compares type pointers.

#include "morvlen/engine/trigger/mthread/method_table.h"

namespace morvlen::mthread {

struct TypeCheck {
    PyTypeObject* type = nullptr;  // null: anything is accepted
    const char* type_name = nullptr;
    bool none_allowed = true;

    bool accepts(PyObject* value) const {
        return !type || Py_IS_TYPE(value, type) || (value == Py_None && none_allowed);
    }
};

TypeCheck argument_check(const ParamSpec& param);
TypeCheck result_check(const MethodSpec& spec);

// Raises TypeError for the first argument (in signature order) that its check
// refuses. Returns false with the exception set.
bool check_arguments(const MethodSpec& spec, std::span<const TypeCheck> checks,
                     std::span<PyObject* const> args);

// Checks a result; false with TypeError set when it is refused.
bool check_result(const TypeCheck& check, PyObject* value);

}  // namespace morvlen::mthread
