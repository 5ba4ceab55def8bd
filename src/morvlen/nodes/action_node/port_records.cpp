// Port lists from Python port records.
#include <algorithm>
#include <array>
#include <set>

#include <nanobind/stl/string.h>

#include "morvlen/core/port_values.h"
#include "morvlen/nodes/action_node/python_action.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

constexpr std::array<std::string_view, 6> known_fields{"name", "type", "direction", "description", "default", "required"};

class RecordReader {
public:
    RecordReader(nb::handle record, size_t index, const std::string& action_id)
        : record_(record), where_("action '" + action_id + "', port record " + std::to_string(index) + " " + describe(record)) {}

    [[noreturn]] void fail_value(const std::string& what) const { throw nb::value_error((where_ + ": " + what).c_str()); }
    [[noreturn]] void fail_type(const std::string& what) const { throw nb::type_error((where_ + ": " + what).c_str()); }

    void check_shape() const {
        if (!PyMapping_Check(record_.ptr()) || nb::isinstance<nb::str>(record_) || nb::isinstance<nb::list>(record_) ||
            nb::isinstance<nb::tuple>(record_)) {
            fail_type("a port record must be a mapping with the keys name, type, direction and description");
        }
        for (nb::handle key : record_.attr("keys")()) {
            const bool known = nb::isinstance<nb::str>(key) &&
                               std::ranges::find(known_fields, nb::cast<std::string>(key)) != known_fields.end();
            if (!known) fail_value("unknown field " + describe(key) + " (fields: name, type, direction, description, default, required)");
        }
    }

    std::optional<std::string> text(const char* field, bool required) const {
        const nb::object key = nb::str(field);
        if (!PyMapping_HasKey(record_.ptr(), key.ptr())) {
            if (required) fail_value(std::string("field '") + field + "' is missing");
            return std::nullopt;
        }
        const nb::object value = record_[key];
        if (!nb::isinstance<nb::str>(value)) {
            fail_type(std::string("field '") + field + "' must be a str, got " + describe(value));
        }
        return nb::cast<std::string>(value);
    }

    // Optional and false unless given as a bool.
    bool flag(const char* field) const {
        const nb::object key = nb::str(field);
        if (!PyMapping_HasKey(record_.ptr(), key.ptr())) return false;
        const nb::object value = record_[key];
        if (!nb::isinstance<nb::bool_>(value)) fail_type(std::string("field '") + field + "' must be a bool, got " + describe(value));
        return nb::cast<bool>(value);
    }

    // Defaults are text as it would stand in the XML; numbers and bools are written out.
    std::optional<std::string> default_text() const {
        const nb::object key = nb::str("default");
        if (!PyMapping_HasKey(record_.ptr(), key.ptr())) return std::nullopt;
        const nb::object value = record_[key];
        if (value.is_none()) return std::nullopt;
        if (nb::isinstance<nb::bool_>(value)) return nb::cast<bool>(value) ? "true" : "false";
        if (nb::isinstance<nb::str>(value) || nb::isinstance<nb::int_>(value) || nb::isinstance<nb::float_>(value)) {
            return nb::cast<std::string>(nb::str(value));
        }
        fail_type("field 'default' must be a str, int, float or bool, got " + describe(value));
    }

private:
    nb::handle record_;
    std::string where_;
};

PortInfo read_record(nb::handle record, size_t index, const std::string& action_id) {
    const RecordReader reader(record, index, action_id);
    reader.check_shape();
    PortInfo port;
    port.name = *reader.text("name", true);
    if (port.name.empty() || port.name == "name" || port.name == "ID" || port.name.starts_with('_')) {
        reader.fail_value("field 'name': \"" + port.name + "\" cannot name a port (empty, 'name', 'ID' and names starting with '_' are reserved)");
    }
    const std::string type = *reader.text("type", true);
    const auto parsed_type = parse_port_type(type);
    if (!parsed_type) reader.fail_value("field 'type': \"" + type + "\" is not one of string, object, int, double, bool");
    port.type = *parsed_type;
    const std::string direction = *reader.text("direction", true);
    const auto parsed_direction = parse_port_direction(direction);
    if (!parsed_direction) reader.fail_value("field 'direction': \"" + direction + "\" is not one of input, output, inout");
    port.direction = *parsed_direction;
    port.description = reader.text("description", false).value_or("");
    port.default_value = reader.default_text();
    port.required = reader.flag("required");
    if (port.default_value) {
        const bool pointer = pointer_key(*port.default_value, port.name).has_value();
        if (port.direction == PortDirection::Output && !pointer) {
            reader.fail_value("field 'default': an output port's default must name a blackboard entry (\"{key}\")");
        }
        if (!pointer && !literal_converts(*port.default_value, port.type)) {
            reader.fail_value("field 'default': \"" + *port.default_value + "\" is not a valid " + type);
        }
    }
    return port;
}

}  // namespace

PortList ports_from_records(nb::handle records, const std::string& action_id) {
    if (records.is_none()) return {};
    if (!nb::isinstance<nb::list>(records) && !nb::isinstance<nb::tuple>(records)) {
        throw nb::type_error(("action '" + action_id + "': the ports must be a list of port records, got " + describe(records)).c_str());
    }
    PortList ports;
    std::set<std::string> names;
    size_t index = 0;
    for (nb::handle record : records) {
        PortInfo port = read_record(record, index, action_id);
        if (!names.insert(port.name).second) {
            throw nb::value_error(("action '" + action_id + "', port record " + std::to_string(index) + ": port '" +
                                   port.name + "' is declared twice").c_str());
        }
        ports.push_back(std::move(port));
        ++index;
    }
    return ports;
}

}  // namespace morvlen::bt
