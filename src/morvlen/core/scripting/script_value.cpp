// Script values and their Python counterparts.
#include "morvlen/core/scripting/script_value.h"

#include <charconv>

#include <nanobind/stl/string.h>

#include "morvlen/core/port_values.h"
#include "morvlen/core/scripting/script_errors.h"

namespace nb = nanobind;

namespace morvlen::bt::scripting {

namespace {

// Numbers scripts read: bools, ints within 64 bits (IntEnum members as their int)
// and floats.
std::optional<Value> number_value(PyObject* raw) {
    if (PyBool_Check(raw)) return raw == Py_True;
    if (PyLong_Check(raw)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(raw, &overflow);
        if (overflow) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (PyFloat_Check(raw)) return PyFloat_AS_DOUBLE(raw);
    return std::nullopt;
}

// The UTF-8 text of a str; nullptr with a Python error set when it has none (lone surrogates).
const char* utf8(PyObject* raw, std::size_t& size) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(raw, &length);
    size = static_cast<std::size_t>(length);
    return text;
}

}  // namespace

Value value_from_python(nb::handle object, const std::string& key) {
    PyObject* raw = object.ptr();
    if (auto number = number_value(raw)) return *std::move(number);
    if (PyLong_Check(raw)) throw EvaluationFault("entry '" + key + "' holds an int beyond 64 bits, which scripts cannot use");
    if (PyUnicode_Check(raw)) {
        std::size_t size = 0;
        const char* text = utf8(raw, size);
        if (!text) throw nb::python_error();
        return std::string(text, size);
    }
    throw EvaluationFault("entry '" + key + "' holds " + bt::describe(object) +
                          ", which scripts cannot use (they read int, float, bool and str)");
}

std::optional<Value> immutable_value(nb::handle object) {
    PyObject* raw = object.ptr();
    if (!PyUnicode_Check(raw)) return number_value(raw);
    if (PyUnicode_GET_LENGTH(raw) > mirrored_text_length) return std::nullopt;
    std::size_t size = 0;
    const char* text = utf8(raw, size);
    if (!text) {
        PyErr_Clear();  // not copied: value_from_python reports it when a script reads it
        return std::nullopt;
    }
    return std::string(text, size);
}

nb::object value_to_python(const Value& value) {
    return std::visit([](const auto& v) -> nb::object { return nb::cast(v); }, value);
}

std::string to_text(const Value& value) {
    if (const auto* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
    if (const auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
    if (const auto* s = std::get_if<std::string>(&value)) return *s;
    char buffer[32];
    const double real = std::get<double>(value);
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, real).ptr;
    std::string text(buffer, end);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";  // 3.0, not 3
    return text;
}

std::string describe(const Value& value) {
    static constexpr const char* names[] = {"bool", "int", "float", "str"};
    const std::string shown = std::holds_alternative<std::string>(value) ? "'" + to_text(value) + "'" : to_text(value);
    return shown + " (" + names[value.index()] + ")";
}

}  // namespace morvlen::bt::scripting
