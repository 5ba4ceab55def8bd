// Conversions of port values between text, Python objects and C++ values.
#include "morvlen/core/port_values.h"

#include <charconv>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

std::string_view trim(std::string_view text) noexcept {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

template <class Number> std::optional<Number> parse_number(std::string_view text) noexcept {
    text = trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string text_of(nb::handle value) { return nb::str(value).c_str(); }

}  // namespace

std::optional<std::string> pointer_key(std::string_view text, std::string_view port) {
    if (text.size() < 3 || text.front() != '{' || text.back() != '}') return std::nullopt;
    const auto key = text.substr(1, text.size() - 2);
    if (key == "=") return std::string(port);
    return std::string(key);
}

std::optional<std::int64_t> parse_int(std::string_view text) noexcept { return parse_number<std::int64_t>(text); }
std::optional<double> parse_double(std::string_view text) noexcept { return parse_number<double>(text); }

std::optional<bool> parse_bool(std::string_view text) noexcept {
    text = trim(text);
    if (text == "true" || text == "True" || text == "TRUE" || text == "1") return true;
    if (text == "false" || text == "False" || text == "FALSE" || text == "0") return false;
    return std::nullopt;
}

std::vector<std::string> split_queue(std::string_view text) {
    std::vector<std::string> items;
    if (text.empty()) return items;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(';', start);
        items.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return items;
}

bool literal_converts(std::string_view text, PortType type) {
    switch (type) {
        case PortType::Int: return parse_int(text).has_value();
        case PortType::Double: return parse_double(text).has_value();
        case PortType::Bool: return parse_bool(text).has_value();
        case PortType::Status: return parse_status(trim(text)).has_value();
        case PortType::String:
        case PortType::Object:
        case PortType::Queue:
        case PortType::Script: return true;
    }
    return true;
}

template <> std::optional<std::string> value_from_text(std::string_view text) { return std::string(text); }
template <> std::optional<std::int64_t> value_from_text(std::string_view text) { return parse_int(text); }
template <> std::optional<double> value_from_text(std::string_view text) { return parse_double(text); }
template <> std::optional<bool> value_from_text(std::string_view text) { return parse_bool(text); }
template <> std::optional<NodeStatus> value_from_text(std::string_view text) { return parse_status(trim(text)); }
template <> std::optional<std::vector<std::string>> value_from_text(std::string_view text) { return split_queue(text); }
template <> std::optional<nb::object> value_from_text(std::string_view text) { return nb::str(text.data(), text.size()); }

template <> std::optional<std::string> value_from_object(nb::handle value) { return text_of(value); }

template <> std::optional<std::int64_t> value_from_object(nb::handle value) {
    if (nb::isinstance<nb::str>(value)) return parse_int(text_of(value));
    std::int64_t result = 0;
    if (nb::isinstance<nb::int_>(value) && nb::try_cast(value, result, false)) return result;
    return std::nullopt;
}

template <> std::optional<double> value_from_object(nb::handle value) {
    if (nb::isinstance<nb::str>(value)) return parse_double(text_of(value));
    if (nb::isinstance<nb::float_>(value) || nb::isinstance<nb::int_>(value)) return nb::cast<double>(nb::float_(value));
    return std::nullopt;
}

template <> std::optional<bool> value_from_object(nb::handle value) {
    if (nb::isinstance<nb::bool_>(value)) return nb::cast<bool>(value);
    if (nb::isinstance<nb::str>(value)) return parse_bool(text_of(value));
    if (nb::isinstance<nb::int_>(value)) {
        const auto number = value_from_object<std::int64_t>(value);
        if (number == 0 || number == 1) return *number == 1;
    }
    return std::nullopt;
}

template <> std::optional<NodeStatus> value_from_object(nb::handle value) {
    NodeStatus status{};
    if (nb::isinstance<nb::str>(value)) return parse_status(trim(text_of(value)));
    if (nb::try_cast(value, status, false)) return status;
    return std::nullopt;
}

template <> std::optional<std::vector<std::string>> value_from_object(nb::handle value) {
    if (nb::isinstance<nb::str>(value)) return split_queue(text_of(value));
    if (!nb::isinstance<nb::list>(value) && !nb::isinstance<nb::tuple>(value)) return std::nullopt;
    std::vector<std::string> items;
    for (nb::handle item : value) items.push_back(text_of(item));
    return items;
}

template <> std::optional<nb::object> value_from_object(nb::handle value) { return nb::borrow(value); }

std::optional<nb::object> object_from_text(std::string_view text, PortType type) {
    const auto wrap = [](const auto& parsed) -> std::optional<nb::object> {
        if (!parsed) return std::nullopt;
        return nb::cast(*parsed);
    };
    switch (type) {
        case PortType::Int: return wrap(parse_int(text));
        case PortType::Double: return wrap(parse_double(text));
        case PortType::Bool: return wrap(parse_bool(text));
        case PortType::Status: return wrap(parse_status(trim(text)));
        case PortType::Queue: return wrap(std::optional(split_queue(text)));
        case PortType::String:
        case PortType::Object:
        case PortType::Script: break;
    }
    return nb::str(text.data(), text.size());
}

std::string describe(nb::handle value) {
    std::string text = nb::repr(value).c_str();
    if (text.size() > 80) text = text.substr(0, 77) + "...";
    return text;
}

}  // namespace morvlen::bt
