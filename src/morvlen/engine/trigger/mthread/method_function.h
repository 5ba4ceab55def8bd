#pragma once
// The function type of ThreadEngine's methods: a callable that binds its
// arguments the way a Python function does, binds to instances as a method,
// and carries the usual function attributes (name, qualname, module, doc,
// annotations, defaults, __dict__, a signature for inspect).

#include "morvlen/engine/trigger/mthread/method_table.h"

namespace morvlen::mthread {

// Makes the function object for one method of the table. `globals` is the
// namespace of the defining module, where the method looks up its globals.
Ref make_method_function(const MethodSpec& spec, PyObject* globals);

}  // namespace morvlen::mthread
