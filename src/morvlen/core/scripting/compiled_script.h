#pragma once
// The compiled form of a script: its expressions as a flat array of operations
// referring to each other by index, with the constants and variable names they use.
// Built once by the parser, then only read (shared by the nodes of a tree).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "morvlen/core/scripting/script_value.h"

namespace morvlen::bt::scripting {

enum class Op : std::uint8_t {
    Constant, Variable,                       // a: index into constants / names
    Assign,                                   // a: name, b: value; assign: the form
    Negate, Not, BitNot,                      // a: operand
    Add, Subtract, Multiply, Divide, Concat,  // a, b: operands
    BitAnd, BitOr, BitXor,
    Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual,
    And, Or,                                  // a, b: operands, b evaluated only when needed
    Choose,                                   // a ? b : c
};

// x := v creates the entry; the other forms need an existing one.
enum class AssignForm : std::uint8_t { Create, Existing, Add, Subtract, Multiply, Divide };

struct Operation {
    Op op = Op::Constant;
    AssignForm assign = AssignForm::Create;
    std::int32_t a = -1, b = -1, c = -1;
};

struct Script {
    std::string source;
    std::vector<Operation> operations;
    std::vector<Value> constants;
    std::vector<std::string> names;          // variable keys, "@key" for the root blackboard
    std::vector<std::int32_t> statements;    // roots of the ";"-separated statements
};

using ScriptPtr = std::shared_ptr<const Script>;

}  // namespace morvlen::bt::scripting
