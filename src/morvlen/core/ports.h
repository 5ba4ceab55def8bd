#pragma once
// Port declarations of node types.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvlen::bt {

enum class PortDirection { Input, Output, InOut };

// How literal text given for a port is converted when the port is read.
// Object: no conversion; a literal arrives as a str, a blackboard entry as it is.
// Status: a NodeStatus name ("SUCCESS", ...). Queue: "a;b;c" split on semicolons.
// Script: a script, compiled when the tree is built (read as its text).
enum class PortType { String, Object, Int, Double, Bool, Status, Queue, Script };

struct PortInfo {
    std::string name;
    PortDirection direction = PortDirection::Input;
    PortType type = PortType::Object;
    std::optional<std::string> default_value;  // text, as it would stand in the XML
    std::string description;
    bool required = false;  // a tree that sets it neither directly nor by default is refused
};

using PortList = std::vector<PortInfo>;

std::string_view to_string(PortDirection direction) noexcept;
std::string_view to_string(PortType type) noexcept;
std::optional<PortDirection> parse_port_direction(std::string_view text) noexcept;  // "input", "output", "inout"
std::optional<PortType> parse_port_type(std::string_view text) noexcept;  // "string", "object", "int", "double", "bool", ...

inline PortInfo input_port(std::string name, PortType type, std::optional<std::string> default_value = {},
                           std::string description = {}) {
    return {std::move(name), PortDirection::Input, type, std::move(default_value), std::move(description)};
}
// A port the node cannot work without: a tree that leaves it unset is refused.
inline PortInfo required(PortInfo port) {
    port.required = true;
    return port;
}
inline PortInfo output_port(std::string name, PortType type = PortType::Object, std::string description = {}) {
    return {std::move(name), PortDirection::Output, type, std::nullopt, std::move(description)};
}
inline PortInfo inout_port(std::string name, PortType type = PortType::Object, std::string description = {}) {
    return {std::move(name), PortDirection::InOut, type, std::nullopt, std::move(description)};
}

}  // namespace morvlen::bt
