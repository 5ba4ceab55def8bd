// Placeholder: replaced by the thread engine.
#include <Python.h>
static PyModuleDef_Slot slots[] = {{0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "mthread", nullptr, 0, nullptr, slots};
PyMODINIT_FUNC PyInit_mthread() { return PyModuleDef_Init(&def); }
