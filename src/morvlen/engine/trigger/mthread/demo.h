#pragma once
// The demonstration that runs when the module is executed as the main program.

#include <Python.h>

namespace morvlen::mthread {

// Runs the two-tree agent demonstration in the namespace of `module` (whose
// ThreadEngine is already bound). Returns 0 on success; -1 with a Python exception
// set on failure.
int run_demonstration(PyObject* module);

}  // namespace morvlen::mthread
