// The Python side of scripting: its two errors and the registration of enums.
#include <nanobind/stl/map.h>
#include <nanobind/stl/string.h>

#include "morvlen/core/bindings.h"
#include "morvlen/core/port_values.h"
#include "morvlen/core/scripting/enum_registry.h"
#include "morvlen/core/scripting/script_errors.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvlen::bt {
namespace {

// Every member of an enum class whose values are ints (IntEnum, IntFlag, or an Enum
// of ints), aliases included.
void register_enum_class(nb::handle cls) {
    const nb::object enum_type = nb::module_::import_("enum").attr("EnumMeta");
    if (!nb::isinstance(cls, enum_type)) {
        throw nb::type_error(("register_enums expects an enum class such as an enum.IntEnum, got " + describe(cls)).c_str());
    }
    for (nb::handle item : cls.attr("__members__").attr("items")()) {
        const nb::handle name = item[0], member = item[1];
        const nb::object value = nb::isinstance<nb::int_>(member) ? nb::borrow(member) : member.attr("value");
        if (!nb::isinstance<nb::int_>(value) || nb::isinstance<nb::bool_>(value)) {
            throw nb::type_error(("enum member " + describe(member) + " has no int value").c_str());
        }
        scripting::register_enum(nb::cast<std::string>(name), nb::cast<std::int64_t>(value));
    }
}

}  // namespace

void bind_scripting(nb::module_& m) {
    nb::object syntax = nb::exception<ScriptSyntaxError>(m, "ScriptSyntaxError", m.attr("TreeBuildError"));
    syntax.attr("__doc__") =
        "A script (a condition attribute such as _skipIf, Script's code, Precondition's if) does not parse. A "
        "TreeBuildError: the document is refused when the tree is built. The message names the tree, the element, "
        "the attribute, the line and the position, with a caret under the offending token.";
    nb::object runtime = nb::exception<ScriptError>(m, "ScriptError", m.attr("BehaviorTreeError"));
    runtime.attr("__doc__") =
        "A script failed while it ran (unknown variable, '=' to a missing entry, wrong operand types, bitwise "
        "operator on a real, division by zero). Raised out of the tick; names the node path and the script.";
    m.def("register_enum", &scripting::register_enum, "name"_a, "value"_a,
          "Makes name stand for the integer value in every script compiled afterwards, by every engine of the "
          "process. ValueError when the name is no identifier or is registered with another value.");
    m.def("register_enums", &register_enum_class, "enum_class"_a,
          nb::sig("def register_enums(enum_class: type[enum.Enum]) -> None"),
          "Registers every member of an enum class with int values (e.g. an enum.IntEnum) under its name.");
    m.def("registered_enums", &scripting::registered_enums, "A new dict of the registered enum names and values.");
}

}  // namespace morvlen::bt
