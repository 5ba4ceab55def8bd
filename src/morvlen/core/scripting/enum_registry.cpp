// The process-wide table of script enums.
#include "morvlen/core/scripting/enum_registry.h"

#include <cctype>
#include <mutex>

#include <nanobind/nanobind.h>

namespace morvlen::bt::scripting {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::int64_t, std::less<>> values;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

bool is_identifier(std::string_view name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    }
    return name != "true" && name != "false";
}

}  // namespace

void register_enum(const std::string& name, std::int64_t value) {
    if (!is_identifier(name)) {
        throw nanobind::value_error(("enum name '" + name + "' is not a script identifier (letters, digits and '_', "
                                     "not starting with a digit, not true/false)").c_str());
    }
    Registry& table = registry();
    std::lock_guard lock(table.mutex);
    const auto [entry, added] = table.values.emplace(name, value);
    if (!added && entry->second != value) {
        throw nanobind::value_error(("enum '" + name + "' is already registered with the value " +
                                     std::to_string(entry->second)).c_str());
    }
}

std::optional<std::int64_t> enum_value(std::string_view name) {
    Registry& table = registry();
    std::lock_guard lock(table.mutex);
    const auto found = table.values.find(name);
    if (found == table.values.end()) return std::nullopt;
    return found->second;
}

std::map<std::string, std::int64_t> registered_enums() {
    Registry& table = registry();
    std::lock_guard lock(table.mutex);
    return {table.values.begin(), table.values.end()};
}

}  // namespace morvlen::bt::scripting
