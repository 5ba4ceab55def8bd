#pragma once
// An owning reference to a Python object, plus the few call helpers the engine
// uses everywhere. Every function here expects the GIL to be held.

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace morvlen::mthread {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null: a failed C-API call).
    static Ref steal(PyObject* o) { return Ref(o); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    static Ref none() { return borrow(Py_None); }

    Ref(const Ref& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

inline Ref str_of(std::string_view text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// A string literal usable as a template argument, so that each name gets a
// cache of its own at compile time.
template <size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The interned str for a name: made on first use and kept for the life of the
// process, since attribute names, method names and dict keys are used on every
// command. Borrowed; null with an exception set if it could not be made (it is
// tried again next time).
template <Literal name>
PyObject* interned() {
    static PyObject* made = nullptr;  // guarded by the GIL
    if (!made) made = PyUnicode_InternFromString(name.text);
    return made;
}

// The same for a name held in a table: interned on first use and kept.
class InternedText {
public:
    constexpr InternedText(const char* text) : text_(text) {}  // NOLINT: built from literals
    PyObject* get() const {
        if (!object_) object_ = PyUnicode_InternFromString(text_);  // guarded by the GIL
        return object_;
    }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

// obj.name, for a name object that may be null (a failed interned()).
inline Ref get_attr(PyObject* obj, PyObject* name) {
    return name ? Ref::steal(PyObject_GetAttr(obj, name)) : Ref{};
}

template <Literal name>
Ref get_attr(PyObject* obj) {
    return get_attr(obj, interned<name>());
}

template <Literal name>
bool set_attr(PyObject* obj, PyObject* value) {
    PyObject* key = interned<name>();
    return key && PyObject_SetAttr(obj, key, value) == 0;
}

// A global name of a module namespace, read at the moment of use, falling back on
// the builtins as the interpreter does; a missing one raises NameError.
inline Ref lookup_global(PyObject* globals, PyObject* name) {
    if (!name) return {};
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (!found && !PyErr_Occurred()) found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return {};
    }
    return Ref::borrow(found);
}

// callable(*args)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()),
                                          args.size(), nullptr));
}

// obj.name(*args), looked up on the instance so overrides take effect.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    if (!name) return {};
    // Vectorcall-method convention: args[0] is self, and with the offset flag the
    // callee may borrow the slot before args[0], hence the spare slot 0.
    PyObject* stack[9];
    static_assert(sizeof(stack) / sizeof(stack[0]) > 6, "room for the longest call");
    stack[1] = obj;
    size_t n = 1;
    for (PyObject* a : args) stack[1 + n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <Literal name>
Ref call_method(PyObject* obj, std::initializer_list<PyObject*> args) {
    return call_method(obj, interned<name>(), args);
}

// value == text (the interpreter's equality, 1, 0 or -1 with an exception set),
// for a str `text`; an exact str is compared directly, without the rich
// comparison's result object.
inline int equals_text(PyObject* value, PyObject* text) {
    if (!text) return -1;
    if (value == text) return 1;
    if (PyUnicode_CheckExact(value)) return PyUnicode_Compare(value, text) == 0 ? 1 : 0;
    return PyObject_RichCompareBool(value, text, Py_EQ);
}

// Concatenates texts and the format() text of objects, as an f-string would.
// Each piece is either UTF-8 text or an object.
class MessageBuilder {
public:
    MessageBuilder& text(std::string_view t) {
        append(str_of(t));
        return *this;
    }
    // A null `v` (a failed call, exception set) fails the message.
    MessageBuilder& value(PyObject* v) {
        if (ok_) append(v ? Ref::steal(PyObject_Format(v, nullptr)) : Ref{});
        return *this;
    }
    // The joined message, or null with an exception set.
    Ref build() const {
        if (!ok_) return {};
        return parts_ ? parts_ : str_of("");
    }

private:
    void append(Ref piece) {
        if (!ok_) return;
        if (!piece) {
            ok_ = false;
            return;
        }
        if (!parts_) {
            parts_ = std::move(piece);
            return;
        }
        parts_ = Ref::steal(PyUnicode_Concat(parts_.get(), piece.get()));
        ok_ = static_cast<bool>(parts_);
    }
    Ref parts_;
    bool ok_ = true;
};

// Holds the exception currently being raised while cleanup code runs, and puts it
// back afterwards (a cleanup failure then replaces it, chained as its context,
// the way an exception raised in a `finally` block would).
class PendingException {
public:
    PendingException() : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    void restore() {
        if (!exc_) return;
        if (PyErr_Occurred()) {
            PyObject* newer = PyErr_GetRaisedException();
            PyException_SetContext(newer, exc_.release());
            PyErr_SetRaisedException(newer);
            return;
        }
        PyErr_SetRaisedException(exc_.release());
    }

private:
    Ref exc_;
};

}  // namespace morvlen::mthread
