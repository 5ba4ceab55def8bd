#pragma once
// The engine's typing convention: parameters and results annotated with a
// built-in type accept exactly that type (no subclass instances), derived from
// the annotation text of the method table.

#include "morvlen/engine/trigger/mthread/method_table.h"

namespace morvlen::mthread {

// Raises TypeError for the first argument (in signature order) that its
// annotation refuses. Returns false with the exception set.
bool check_arguments(const MethodSpec& spec, std::span<PyObject* const> args);

// Checks a result against the method's return annotation. Returns false with
// TypeError set when it is refused.
bool check_result(const MethodSpec& spec, PyObject* value);

}  // namespace morvlen::mthread
