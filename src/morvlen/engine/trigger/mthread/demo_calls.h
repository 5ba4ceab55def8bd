#pragma once
// Call helpers for the demonstration, on top of the engine's owning reference.
// Unlike the engine's hot-path helpers they accept a null argument (one that
// failed to build) and then fail with its error set, so a whole call chain can
// be written as one expression. Every function here expects the GIL to be held.

#include <Python.h>

#include <initializer_list>

#include "morvlen/engine/trigger/mthread/py_ref.h"

namespace morvlen::mthread::demo {

using mthread::Ref;
using mthread::str_of;

// A keyword argument for call_kw: name and (borrowed) value.
struct Kw {
    const char* name;
    PyObject* value;
};

// callable(*args, **kwargs), keywords passed in the order given.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs) {
    const Ref arg_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    const Ref kw_dict = Ref::steal(PyDict_New());
    if (!arg_tuple || !kw_dict) return {};
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        if (!a) return {};  // an argument that failed to build; its error is set
        PyTuple_SET_ITEM(arg_tuple.get(), i++, Py_NewRef(a));
    }
    for (const Kw& kw : kwargs) {
        if (!kw.value || PyDict_SetItemString(kw_dict.get(), kw.name, kw.value) < 0) return {};
    }
    return Ref::steal(PyObject_Call(callable, arg_tuple.get(), kw_dict.get()));
}

// obj.name(*args), looked up on the object so overrides take effect.
inline Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args) {
    const Ref method = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!method) return {};
    return call_kw(method.get(), args, {});
}

// A global name of a module namespace, read at the moment of use.
inline Ref global(PyObject* globals, const char* name) { return lookup_global(globals, str_of(name).get()); }

}  // namespace morvlen::mthread::demo
