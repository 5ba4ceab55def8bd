// A precedence-climbing parser. From loosest to tightest binding: assignment,
// ?:, ||, &&, == !=, < <= > >=, |, ^, &, + - .., * /, unary ! ~ -, primary.
#include "morvlen/core/scripting/parser.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "morvlen/core/scripting/enum_registry.h"
#include "morvlen/core/scripting/lexer.h"
#include "morvlen/core/scripting/script_errors.h"

namespace morvlen::bt::scripting {
namespace {

struct BinaryLevel {
    std::array<std::pair<std::string_view, Op>, 4> operators;
};

// Binary operator levels, loosest first. Empty slots have an empty symbol.
constexpr std::array<BinaryLevel, 9> binary_levels{{
    {{{{"||", Op::Or}}}},
    {{{{"&&", Op::And}}}},
    {{{{"==", Op::Equal}, {"!=", Op::NotEqual}}}},
    {{{{"<", Op::Less}, {"<=", Op::LessEqual}, {">", Op::Greater}, {">=", Op::GreaterEqual}}}},
    {{{{"|", Op::BitOr}}}},
    {{{{"^", Op::BitXor}}}},
    {{{{"&", Op::BitAnd}}}},
    {{{{"+", Op::Add}, {"-", Op::Subtract}, {"..", Op::Concat}}}},
    {{{{"*", Op::Multiply}, {"/", Op::Divide}}}},
}};

constexpr std::array<std::pair<std::string_view, AssignForm>, 6> assign_forms{{
    {":=", AssignForm::Create}, {"=", AssignForm::Existing}, {"+=", AssignForm::Add},
    {"-=", AssignForm::Subtract}, {"*=", AssignForm::Multiply}, {"/=", AssignForm::Divide}}};

// Deeper nesting than this is refused rather than risking the stack: of the
// parser (parentheses, unary operators), and of the evaluator (operations applied
// to operations, as in a long chain 1 + 1 + ... + 1).
constexpr int max_depth = 200;
constexpr int max_operation_depth = 1000;

class Parser {
public:
    Parser(std::string_view source, std::vector<Token> tokens) : tokens_(std::move(tokens)) {
        script_.source = std::string(source);
    }

    ScriptPtr run() {
        while (!at_end()) {
            if (accept(";")) continue;  // empty statements are allowed
            script_.statements.push_back(assignment());
            if (!at_end() && !accept(";")) fail("expected ';' or the end of the script, found " + quoted(peek()));
        }
        if (script_.statements.empty()) throw SyntaxFault("the script is empty", 0);
        return std::make_shared<const Script>(std::move(script_));
    }

private:
    const Token& peek(std::size_t ahead = 0) const { return tokens_[std::min(at_ + ahead, tokens_.size() - 1)]; }
    bool at_end() const { return peek().kind == TokenKind::End; }
    bool is_symbol(const Token& token, std::string_view symbol) const {
        return token.kind == TokenKind::Symbol && token.text == symbol;
    }
    bool accept(std::string_view symbol) {
        if (!is_symbol(peek(), symbol)) return false;
        ++at_;
        return true;
    }
    static std::string quoted(const Token& token) {
        return token.kind == TokenKind::End ? "the end of the script" : "'" + token.text + "'";
    }
    [[noreturn]] void fail(const std::string& what) const { throw SyntaxFault(what, peek().position); }

    std::int32_t emit(Operation operation) {
        // The operands that are operations: constants and variables hold an index into
        // their own tables in `a`, and so does an assignment (its value is in `b`).
        std::array<std::int32_t, 3> operands{operation.a, operation.b, operation.c};
        if (operation.op == Op::Constant || operation.op == Op::Variable) operands = {-1, -1, -1};
        if (operation.op == Op::Assign) operands = {operation.b, -1, -1};
        int depth = 0;
        for (const std::int32_t operand : operands) {
            if (operand >= 0) depth = std::max(depth, depths_[static_cast<std::size_t>(operand)]);
        }
        if (depth + 1 > max_operation_depth) fail("the script nests too deeply");
        depths_.push_back(depth + 1);
        script_.operations.push_back(operation);
        return static_cast<std::int32_t>(script_.operations.size() - 1);
    }
    std::int32_t constant(Value value) {
        script_.constants.push_back(std::move(value));
        return emit({Op::Constant, {}, static_cast<std::int32_t>(script_.constants.size() - 1)});
    }

    struct Depth {
        explicit Depth(Parser& parser) : parser_(parser) {
            if (++parser_.depth_ > max_depth) parser_.fail("the script nests too deeply");
        }
        ~Depth() { --parser_.depth_; }
        Parser& parser_;
    };

    std::optional<AssignForm> assign_form(const Token& token) const {
        if (token.kind != TokenKind::Symbol) return std::nullopt;
        for (const auto& [symbol, form] : assign_forms) {
            if (token.text == symbol) return form;
        }
        return std::nullopt;
    }

    std::int32_t assignment() {
        const Depth depth(*this);
        if (peek().kind == TokenKind::Name && assign_form(peek(1)) && !is_keyword(peek().text)) {
            const std::string name = peek().text;
            const AssignForm form = *assign_form(peek(1));
            at_ += 2;
            const std::int32_t value = assignment();
            return emit({Op::Assign, form, name_index(name), value});
        }
        const std::int32_t expression = ternary();
        if (assign_form(peek())) fail("only a variable can be assigned to with '" + peek().text + "'");
        return expression;
    }

    std::int32_t ternary() {
        const std::int32_t condition = binary(0);
        if (!accept("?")) return condition;
        const Depth depth(*this);
        const std::int32_t then = ternary();
        if (!accept(":")) fail("expected ':' of the '?' expression, found " + quoted(peek()));
        const std::int32_t otherwise = ternary();
        return emit({Op::Choose, {}, condition, then, otherwise});
    }

    std::int32_t binary(std::size_t level) {
        if (level == binary_levels.size()) return unary();
        std::int32_t left = binary(level + 1);
        while (true) {
            const Op* op = binary_op(level);
            if (!op) return left;
            ++at_;
            left = emit({*op, {}, left, binary(level + 1)});
        }
    }

    const Op* binary_op(std::size_t level) const {
        for (const auto& [symbol, op] : binary_levels[level].operators) {
            if (!symbol.empty() && is_symbol(peek(), symbol)) return &op;
        }
        return nullptr;
    }

    std::int32_t unary() {
        const Depth depth(*this);
        for (const auto& [symbol, op] : {std::pair{"-", Op::Negate}, std::pair{"!", Op::Not}, std::pair{"~", Op::BitNot}}) {
            if (accept(symbol)) return emit({op, {}, unary()});
        }
        return primary();
    }

    std::int32_t primary() {
        const Token& token = peek();
        if (token.kind == TokenKind::Number || token.kind == TokenKind::String) {
            ++at_;
            return constant(token.value);
        }
        if (token.kind == TokenKind::Name) {
            ++at_;
            if (token.text == "true" || token.text == "false") return constant(token.text == "true");
            if (token.text[0] != '@') {
                if (const auto value = enum_value(token.text)) return constant(*value);
            }
            return emit({Op::Variable, {}, name_index(token.text)});
        }
        if (accept("(")) {
            const std::int32_t inner = assignment();
            if (!accept(")")) fail("expected ')', found " + quoted(peek()));
            return inner;
        }
        fail("expected a value, found " + quoted(token));
    }

    static bool is_keyword(std::string_view name) { return name == "true" || name == "false"; }

    std::int32_t name_index(const std::string& name) {
        for (std::size_t i = 0; i < script_.names.size(); ++i) {
            if (script_.names[i] == name) return static_cast<std::int32_t>(i);
        }
        script_.names.push_back(name);
        return static_cast<std::int32_t>(script_.names.size() - 1);
    }

    std::vector<Token> tokens_;
    std::vector<int> depths_;  // of each operation: the longest chain of operations below it, itself included
    std::size_t at_ = 0;
    int depth_ = 0;
    Script script_;
};

}  // namespace

ScriptPtr compile(std::string_view source) { return Parser(source, tokenize(source)).run(); }

}  // namespace morvlen::bt::scripting
