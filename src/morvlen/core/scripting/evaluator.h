#pragma once
// Runs a compiled script against a blackboard.

#include "morvlen/core/blackboard.h"
#include "morvlen/core/scripting/compiled_script.h"

namespace morvlen::bt::scripting {

// The value of the script's last statement. Computes in C++; the GIL is taken only
// once a blackboard entry is written or read that holds no scalar copy (see
// Blackboard::get_scalar), and held to the end of the script.
// EvaluationFault on a run-time error (the statements before it keep their effect).
Value evaluate(const Script& script, Blackboard& blackboard);

// A value as a condition: bools, numbers (non-zero is true) and the strings
// true/false/1/0 (as SubTree literals arrive); EvaluationFault for anything else.
bool truth(const Value& value);

}  // namespace morvlen::bt::scripting
