#pragma once
// Enum names scripts know, registered from Python for the whole process (so that
// trees built on any thread, by any engine, see them).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace morvlen::bt::scripting {

// Registers `name` (an identifier other than true/false). Registering a name again
// with the same value is allowed; with another value it is refused (ValueError).
void register_enum(const std::string& name, std::int64_t value);
std::optional<std::int64_t> enum_value(std::string_view name);
std::map<std::string, std::int64_t> registered_enums();

}  // namespace morvlen::bt::scripting
