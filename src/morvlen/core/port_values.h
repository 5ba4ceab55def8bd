#pragma once
// Port attribute text and the values read through ports: blackboard pointers
// ("{key}"), literal text converted by the port's declared type, and blackboard
// objects converted to what a node asks for.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nanobind/nanobind.h>

#include "morvlen/core/ports.h"
#include "morvlen/core/status.h"

namespace morvlen::bt {

// "{key}" -> "key", "{=}" -> `port`, "{@key}" -> "@key"; nullopt for a literal.
std::optional<std::string> pointer_key(std::string_view text, std::string_view port);

std::optional<std::int64_t> parse_int(std::string_view text) noexcept;
std::optional<double> parse_double(std::string_view text) noexcept;
// true/True/TRUE/1 and false/False/FALSE/0.
std::optional<bool> parse_bool(std::string_view text) noexcept;
// "a;b;c" -> {"a", "b", "c"}; "" -> {}.
std::vector<std::string> split_queue(std::string_view text);

// Whether literal text converts to a port of `type` (String/Object/Queue always do).
bool literal_converts(std::string_view text, PortType type);

// The conversions below return nullopt when the value does not convert; the caller
// names the node and port in its error. Everything touching Python objects needs
// the GIL.
template <class T> std::optional<T> value_from_text(std::string_view text);
template <class T> std::optional<T> value_from_object(nanobind::handle value);

// Literal text as the Python value of a port of `type`: str for String/Object,
// int, float, bool, NodeStatus, list of str for Queue.
std::optional<nanobind::object> object_from_text(std::string_view text, PortType type);

// A short printable form of a Python value for error messages (repr, cut to 80 chars).
std::string describe(nanobind::handle value);

}  // namespace morvlen::bt
