#include "morvlen/engine/trigger/mthread/arg_checks.h"

#include <optional>

namespace morvlen::mthread {

namespace {

struct ExactType {
    PyTypeObject* type;
    const char* name;
};

// The built-in type an annotation text asks for, if it asks for one.
std::optional<ExactType> checked_type(std::string_view annotation) {
    if (annotation == "str") return ExactType{&PyUnicode_Type, "str"};
    if (annotation == "int") return ExactType{&PyLong_Type, "int"};
    if (annotation.starts_with("Dict[")) return ExactType{&PyDict_Type, "dict"};
    if (annotation.starts_with("List[")) return ExactType{&PyList_Type, "list"};
    return std::nullopt;
}

constexpr std::string_view kOptional = "Optional[";

std::string_view without_optional(std::string_view annotation) {
    if (annotation.starts_with(kOptional) && annotation.ends_with("]")) {
        return annotation.substr(kOptional.size(), annotation.size() - kOptional.size() - 1);
    }
    return annotation;
}

// The type's __name__, as UTF-8 (kept alive by the returned reference).
Ref type_name(PyObject* value) {
    return Ref::steal(PyType_GetName(Py_TYPE(value)));
}

void add_subclass_note() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    const Ref note = str_of("Subclasses of built-in types are refused; pass an exact instance of the type.");
    const Ref added = note ? call_method(exc.get(), "add_note", {note.get()}) : Ref{};
    if (!added) {
        // Keep the refusal itself; the note is a courtesy.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc.release());
}

bool check_argument(const ParamSpec& param, PyObject* value) {
    const std::string_view inner = without_optional(param.annotation);
    const std::optional<ExactType> expected = checked_type(inner);
    if (!expected || Py_IS_TYPE(value, expected->type)) return true;
    const bool none_allowed = param.default_none || inner.size() != param.annotation.size();
    if (value == Py_None && none_allowed) return true;
    const Ref got = type_name(value);
    if (!got) return false;
    const std::string name(param.name);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name.c_str(), expected->name, PyUnicode_AsUTF8(got.get()));
    if (PyObject_TypeCheck(value, expected->type)) add_subclass_note();
    return false;
}

}  // namespace

bool check_arguments(const MethodSpec& spec, std::span<PyObject* const> args) {
    for (size_t i = 0; i < spec.params.size(); ++i) {
        if (!check_argument(spec.params[i], args[i])) return false;
    }
    return true;
}

bool check_result(const MethodSpec& spec, PyObject* value) {
    const std::optional<ExactType> expected = checked_type(spec.return_annotation);
    if (!expected || value == Py_None || Py_IS_TYPE(value, expected->type)) return true;
    const Ref got = type_name(value);
    if (!got) return false;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected->name,
                 PyUnicode_AsUTF8(got.get()));
    return false;
}

}  // namespace morvlen::mthread
