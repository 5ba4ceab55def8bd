#pragma once
// Splits script text into tokens.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "morvlen/core/scripting/script_value.h"

namespace morvlen::bt::scripting {

enum class TokenKind { Number, String, Name, Symbol, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;     // the symbol, the name, or the string's contents
    Value value;          // Number and String (true/false are Names)
    std::size_t position = 0;
};

// SyntaxFault on an unknown character, an unterminated string or a bad number.
std::vector<Token> tokenize(std::string_view source);

}  // namespace morvlen::bt::scripting
