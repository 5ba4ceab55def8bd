#pragma once
// Reading numbers and booleans out of text the way port literals are read, for the
// nodes that compare or convert values themselves (SwitchN, Loop*).

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace morvlen::bt::nodes {

inline std::string_view trim(std::string_view text) noexcept {
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

inline std::optional<bool> parse_bool(std::string_view text) noexcept {
    text = trim(text);
    if (text == "true" || text == "True" || text == "TRUE" || text == "1") return true;
    if (text == "false" || text == "False" || text == "FALSE" || text == "0") return false;
    return std::nullopt;
}

}  // namespace morvlen::bt::nodes
