// Names of port directions and port types.
#include "morvlen/core/ports.h"

#include <array>
#include <utility>

namespace morvlen::bt {
namespace {

constexpr std::array<std::pair<PortDirection, std::string_view>, 3> direction_names{{
    {PortDirection::Input, "input"}, {PortDirection::Output, "output"}, {PortDirection::InOut, "inout"},
}};

constexpr std::array<std::pair<PortType, std::string_view>, 8> type_names{{
    {PortType::String, "string"}, {PortType::Object, "object"}, {PortType::Int, "int"}, {PortType::Double, "double"},
    {PortType::Bool, "bool"}, {PortType::Status, "status"}, {PortType::Queue, "queue"}, {PortType::Script, "script"},
}};

template <class Table, class Value> std::string_view name_of(const Table& table, Value value) noexcept {
    for (const auto& [candidate, name] : table) {
        if (candidate == value) return name;
    }
    return "?";
}

template <class Table> auto value_of(const Table& table, std::string_view text) noexcept {
    using Value = typename Table::value_type::first_type;
    for (const auto& [value, name] : table) {
        if (name == text) return std::optional<Value>(value);
    }
    return std::optional<Value>();
}

}  // namespace

std::string_view to_string(PortDirection direction) noexcept { return name_of(direction_names, direction); }
std::string_view to_string(PortType type) noexcept { return name_of(type_names, type); }
std::optional<PortDirection> parse_port_direction(std::string_view text) noexcept { return value_of(direction_names, text); }
std::optional<PortType> parse_port_type(std::string_view text) noexcept { return value_of(type_names, text); }

}  // namespace morvlen::bt
