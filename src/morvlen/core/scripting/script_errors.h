#pragma once
// Errors of the scripting language. Syntax errors refuse the document when the tree
// is built; script errors are raised out of the tick of the node owning the script.

#include <cstddef>
#include <stdexcept>
#include <string>

#include "morvlen/core/errors.h"

namespace morvlen::bt {

// A script attribute or port does not parse. The message names the tree, the
// element, the attribute, the line and the position, with a caret under the token.
struct ScriptSyntaxError : TreeBuildError {
    using TreeBuildError::TreeBuildError;
};

// A script failed while it ran: unknown variable, "=" to a missing entry, operands
// of the wrong type, division by zero. The message names the node path and the script.
struct ScriptError : BehaviorTreeError {
    using BehaviorTreeError::BehaviorTreeError;
};

namespace scripting {

// Raised by the parser; the tree builder turns it into a ScriptSyntaxError naming
// where the script stands.
struct SyntaxFault : std::runtime_error {
    SyntaxFault(const std::string& what, std::size_t position) : std::runtime_error(what), position(position) {}
    std::size_t position;  // offset of the offending token in the script text
};

// Raised by the evaluator; the node running the script turns it into a ScriptError.
struct EvaluationFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace scripting
}  // namespace morvlen::bt
