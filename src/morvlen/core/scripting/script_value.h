#pragma once
// The values scripts compute with, and their exchange with the blackboard's Python
// objects (int, float, bool and str, IntEnum members read as int).

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include <nanobind/nanobind.h>

namespace morvlen::bt::scripting {

using Value = std::variant<bool, std::int64_t, double, std::string>;

// The value of a Python object; EvaluationFault for any other type or an int
// beyond 64 bits. Needs the GIL.
Value value_from_python(nanobind::handle object, const std::string& key);
// The value of an object that scripts can read and whose value never changes (int,
// float, bool, a str of up to mirrored_text_length characters), for a copy read
// later without the GIL; nullopt for any other object. Needs the GIL.
std::optional<Value> immutable_value(nanobind::handle object);
inline constexpr Py_ssize_t mirrored_text_length = 256;  // longer texts are read under the GIL
// A new Python int, float, bool or str. Needs the GIL.
nanobind::object value_to_python(const Value& value);

// "3 (int)", "'go' (str)": for error messages.
std::string describe(const Value& value);
// How ".." writes a value: integers in decimal, reals as Python prints them, true/false.
std::string to_text(const Value& value);

}  // namespace morvlen::bt::scripting
