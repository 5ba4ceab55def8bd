// The tokens of the scripting language: numbers (42, 0x7F, 3.14, 1e3), single-quoted
// strings, names (letters, digits and '_', an optional leading '@'), and symbols.
#include "morvlen/core/scripting/lexer.h"

#include <array>
#include <cctype>
#include <charconv>

#include "morvlen/core/scripting/script_errors.h"

namespace morvlen::bt::scripting {
namespace {

// Longest first, so that ":=" wins over ":" and ".." is one token.
constexpr std::array<std::string_view, 29> symbols{
    ":=", "+=", "-=", "*=", "/=", "&&", "||", "==", "!=", "<=", ">=", "..",
    "=", "?", ":", "!", "<", ">", "&", "|", "^", "~", "+", "-", "*", "/", "(", ")", ";"};

bool is_name_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)); }

class Lexer {
public:
    explicit Lexer(std::string_view source) : source_(source) {}

    std::vector<Token> run() {
        std::vector<Token> tokens;
        while (true) {
            while (at_ < source_.size() && std::isspace(static_cast<unsigned char>(source_[at_]))) ++at_;
            if (at_ == source_.size()) break;
            tokens.push_back(next());
        }
        tokens.push_back(Token{TokenKind::End, "end of script", {}, source_.size()});
        return tokens;
    }

private:
    Token next() {
        const char c = source_[at_];
        if (is_digit(c)) return number();
        if (c == '\'') return string();
        if (is_name_start(c) || (c == '@' && at_ + 1 < source_.size() && is_name_start(source_[at_ + 1]))) return name();
        for (std::string_view symbol : symbols) {
            if (source_.substr(at_).starts_with(symbol)) {
                Token token{TokenKind::Symbol, std::string(symbol), {}, at_};
                at_ += symbol.size();
                return token;
            }
        }
        throw SyntaxFault("unexpected character '" + std::string(character_at(at_)) + "'", at_);
    }

    // The whole UTF-8 sequence starting at `at`: a message holding part of one is
    // not text.
    std::string_view character_at(std::size_t at) const {
        const auto lead = static_cast<unsigned char>(source_[at]);
        const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        return source_.substr(at, length);
    }

    Token number() {
        const std::size_t start = at_;
        if (source_.substr(at_).starts_with("0x") || source_.substr(at_).starts_with("0X")) {
            at_ += 2;
            while (at_ < source_.size() && std::isxdigit(static_cast<unsigned char>(source_[at_]))) ++at_;
            return integer(start, source_.substr(start + 2, at_ - start - 2), 16);
        }
        while (at_ < source_.size() && is_digit(source_[at_])) ++at_;
        bool real = false;
        // "3..4" is 3 .. 4: a '.' belongs to the number only when a digit follows.
        if (at_ + 1 < source_.size() && source_[at_] == '.' && is_digit(source_[at_ + 1])) {
            real = true;
            for (++at_; at_ < source_.size() && is_digit(source_[at_]);) ++at_;
        }
        if (at_ < source_.size() && (source_[at_] == 'e' || source_[at_] == 'E')) {
            std::size_t exponent = at_ + 1;
            if (exponent < source_.size() && (source_[exponent] == '+' || source_[exponent] == '-')) ++exponent;
            if (exponent < source_.size() && is_digit(source_[exponent])) {
                real = true;
                for (at_ = exponent; at_ < source_.size() && is_digit(source_[at_]);) ++at_;
            }
        }
        if (at_ < source_.size() && is_name_char(source_[at_])) {
            throw SyntaxFault("malformed number '" + std::string(source_.substr(start, at_ - start + 1)) + "'", start);
        }
        const std::string_view text = source_.substr(start, at_ - start);
        if (!real) return integer(start, text, 10);
        double value = 0;
        std::from_chars(text.data(), text.data() + text.size(), value);
        return Token{TokenKind::Number, std::string(text), value, start};
    }

    Token integer(std::size_t start, std::string_view digits, int base) {
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
        const std::string text(source_.substr(start, at_ - start));
        if (digits.empty() || end != digits.data() + digits.size() || (at_ < source_.size() && is_name_char(source_[at_]))) {
            throw SyntaxFault("malformed number '" + text + "'", start);
        }
        if (error == std::errc::result_out_of_range) throw SyntaxFault("integer " + text + " does not fit in 64 bits", start);
        return Token{TokenKind::Number, text, value, start};
    }

    // 'text': a backslash escapes the quote, itself, n and t.
    Token string() {
        const std::size_t start = at_++;
        std::string text;
        while (at_ < source_.size() && source_[at_] != '\'') {
            char c = source_[at_++];
            if (c == '\\' && at_ < source_.size()) {
                const char escaped = source_[at_++];
                c = escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
            }
            text += c;
        }
        if (at_ == source_.size()) throw SyntaxFault("unterminated string", start);
        ++at_;
        return Token{TokenKind::String, text, text, start};
    }

    Token name() {
        const std::size_t start = at_++;
        while (at_ < source_.size() && is_name_char(source_[at_])) ++at_;
        return Token{TokenKind::Name, std::string(source_.substr(start, at_ - start)), {}, start};
    }

    std::string_view source_;
    std::size_t at_ = 0;
};

}  // namespace

std::vector<Token> tokenize(std::string_view source) { return Lexer(source).run(); }

}  // namespace morvlen::bt::scripting
