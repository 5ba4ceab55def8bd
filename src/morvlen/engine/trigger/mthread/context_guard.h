#pragma once
// A `with` block in C++: enters a context manager and leaves it on every way
// out. Leaving on an error path hands the pending exception to __exit__ and
// keeps it pending afterwards (the managers used here never suppress).

#include "morvlen/engine/trigger/mthread/py_ref.h"

namespace morvlen::mthread {

class ContextGuard {
public:
    explicit ContextGuard(PyObject* manager)
        : manager_(Ref::borrow(manager)), value_(call_method<"__enter__">(manager, {})) {}
    ContextGuard(const ContextGuard&) = delete;
    ContextGuard& operator=(const ContextGuard&) = delete;

    // False when __enter__ failed (the exception is set and nothing needs leaving).
    bool entered() const { return static_cast<bool>(value_); }
    // What __enter__ returned (the `as` target).
    PyObject* value() const { return value_.get(); }

    // Leaves the block normally; false with an exception set if __exit__ failed.
    bool exit() {
        if (!value_) return true;
        value_ = {};
        return static_cast<bool>(
            call_method<"__exit__">(manager_.get(), {Py_None, Py_None, Py_None}));
    }

    ~ContextGuard() {
        if (!value_) return;
        value_ = {};
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (!exc) {
            if (!call_method<"__exit__">(manager_.get(), {Py_None, Py_None, Py_None})) {
                PyErr_WriteUnraisable(manager_.get());
            }
            return;
        }
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
        const Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
        const Ref done = call_method<"__exit__">(manager_.get(),
                                     {type, exc.get(), tb ? tb.get() : Py_None});
        if (!done) {
            PyObject* newer = PyErr_GetRaisedException();
            PyException_SetContext(newer, exc.release());
            PyErr_SetRaisedException(newer);
            return;
        }
        PyErr_SetRaisedException(exc.release());
    }

private:
    Ref manager_;
    Ref value_;
};

}  // namespace morvlen::mthread
