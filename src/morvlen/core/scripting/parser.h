#pragma once
// Compiles script text into its evaluated form.

#include <string_view>

#include "morvlen/core/scripting/compiled_script.h"

namespace morvlen::bt::scripting {

// Parses `source` (statements separated by ';'). Names of registered enums become
// their integer constants here, so enums must be registered before a tree is built.
// SyntaxFault with the offending token's offset when the text does not parse.
ScriptPtr compile(std::string_view source);

}  // namespace morvlen::bt::scripting
