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
    const Ref added = note ? call_method<"add_note">(exc.get(), {note.get()}) : Ref{};
    if (!added) {
        // Keep the refusal itself; the note is a courtesy.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc.release());
}

void raise_refused_argument(const ParamSpec& param, const TypeCheck& check, PyObject* value) {
    const Ref got = type_name(value);
    if (!got) return;
    const std::string name(param.name);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name.c_str(), check.type_name, PyUnicode_AsUTF8(got.get()));
    if (PyObject_TypeCheck(value, check.type)) add_subclass_note();
}

}  // namespace

TypeCheck argument_check(const ParamSpec& param) {
    const std::string_view inner = without_optional(param.annotation);
    const std::optional<ExactType> expected = checked_type(inner);
    if (!expected) return {};
    return {expected->type, expected->name, param.default_none || inner.size() != param.annotation.size()};
}

TypeCheck result_check(const MethodSpec& spec) {
    const std::optional<ExactType> expected = checked_type(spec.return_annotation);
    if (!expected) return {};
    return {expected->type, expected->name, true};
}

bool check_arguments(const MethodSpec& spec, std::span<const TypeCheck> checks,
                     std::span<PyObject* const> args) {
    for (size_t i = 0; i < spec.params.size(); ++i) {
        if (!checks[i].accepts(args[i])) {
            raise_refused_argument(spec.params[i], checks[i], args[i]);
            return false;
        }
    }
    return true;
}

bool check_result(const TypeCheck& check, PyObject* value) {
    if (check.accepts(value)) return true;
    const Ref got = type_name(value);
    if (!got) return false;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", check.type_name, PyUnicode_AsUTF8(got.get()));
    return false;
}

}  // namespace morvlen::mthread
