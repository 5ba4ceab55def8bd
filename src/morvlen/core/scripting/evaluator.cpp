// Evaluation of compiled scripts: arithmetic stays integral while it is exact,
// comparisons treat numbers numerically and strings textually (two strings that
// both hold numbers numerically), and every type mismatch is an error.
#include "morvlen/core/scripting/evaluator.h"

#include <cctype>
#include <cmath>
#include <optional>

#include "morvlen/core/port_values.h"
#include "morvlen/core/scripting/script_errors.h"

namespace nb = nanobind;

namespace morvlen::bt::scripting {
namespace {

using Int = std::int64_t;

[[noreturn]] void fault(const std::string& what) { throw EvaluationFault(what); }

bool is_number(const Value& v) { return !std::holds_alternative<std::string>(v); }  // bools count as 0 and 1

std::optional<Int> as_int(const Value& v) {
    if (const auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    if (const auto* i = std::get_if<Int>(&v)) return *i;
    return std::nullopt;
}
double as_real(const Value& v) {
    if (const auto i = as_int(v)) return static_cast<double>(*i);
    return std::get<double>(v);
}

// A string read as a number, for comparisons with numbers: its int or real value,
// or true/false.
std::optional<Value> numeric_text(const std::string& text) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '+' ||
                          text[0] == '.' || std::isspace(static_cast<unsigned char>(text[0])) || text[0] == 't' || text[0] == 'f' || text[0] == 'T' || text[0] == 'F')) {
        return std::nullopt;  // the common case of plain text, without trying every parse
    }
    if (const auto i = parse_int(text)) return *i;
    if (const auto d = parse_double(text)) return *d;
    if (const auto b = parse_bool(text)) return *b;
    return std::nullopt;
}

std::string operands(const char* op, const Value& a, const Value& b) {
    return std::string("'") + op + "' cannot combine " + describe(a) + " and " + describe(b);
}

Value arithmetic(Op op, const Value& a, const Value& b) {
    static constexpr const char* symbols[] = {"+", "-", "*", "/"};
    const char* symbol = symbols[static_cast<int>(op) - static_cast<int>(Op::Add)];
    if (op == Op::Add && std::holds_alternative<std::string>(a) && std::holds_alternative<std::string>(b)) {
        return std::get<std::string>(a) + std::get<std::string>(b);
    }
    if (!is_number(a) || !is_number(b)) {
        fault(operands(symbol, a, b) + (op == Op::Add ? " (join a string with '..')" : ""));
    }
    const auto x = as_int(a), y = as_int(b);
    if (x && y) {
        Int result = 0;
        switch (op) {
            case Op::Add: if (!__builtin_add_overflow(*x, *y, &result)) return result; break;
            case Op::Subtract: if (!__builtin_sub_overflow(*x, *y, &result)) return result; break;
            case Op::Multiply: if (!__builtin_mul_overflow(*x, *y, &result)) return result; break;
            default:
                if (*y == 0) fault("division by zero");
                if (*y == -1 && *x == INT64_MIN) break;
                if (*x % *y == 0) return *x / *y;  // exact: stays an int
                return static_cast<double>(*x) / static_cast<double>(*y);
        }
        fault(std::string("integer overflow in '") + symbol + "' of " + describe(a) + " and " + describe(b));
    }
    const double p = as_real(a), q = as_real(b);
    switch (op) {
        case Op::Add: return p + q;
        case Op::Subtract: return p - q;
        case Op::Multiply: return p * q;
        default:
            if (q == 0) fault("division by zero");
            return p / q;
    }
}

Value bitwise(Op op, const Value& a, const Value& b) {
    const char* symbol = op == Op::BitAnd ? "&" : op == Op::BitOr ? "|" : "^";
    const auto x = as_int(a), y = as_int(b);
    if (!x || !y) fault(operands(symbol, a, b) + " (bitwise operators take integers only)");
    if (op == Op::BitAnd) return *x & *y;
    if (op == Op::BitOr) return *x | *y;
    return *x ^ *y;
}

// -1, 0 or 1; a string and a number compare when the string holds a number.
int compare(const char* symbol, const Value& a, const Value& b) {
    const auto* s = std::get_if<std::string>(&a);
    const auto* t = std::get_if<std::string>(&b);
    if (s && t) {
        const auto m = numeric_text(*s), n = numeric_text(*t);
        if (m && n && !std::holds_alternative<bool>(*m) && !std::holds_alternative<bool>(*n)) return compare(symbol, *m, *n);
        return s->compare(*t) < 0 ? -1 : s->compare(*t) > 0 ? 1 : 0;
    }
    if (s || t) {
        const auto converted = numeric_text(s ? *s : *t);
        if (!converted) fault(operands(symbol, a, b) + " (the string holds no number)");
        return s ? compare(symbol, *converted, b) : compare(symbol, a, *converted);
    }
    const auto x = as_int(a), y = as_int(b);
    if (x && y) return *x < *y ? -1 : *x > *y ? 1 : 0;
    const double p = as_real(a), q = as_real(b);
    if (std::isnan(p) || std::isnan(q)) return 2;  // unordered: every comparison but != is false
    return p < q ? -1 : p > q ? 1 : 0;
}

Value comparison(Op op, const Value& a, const Value& b) {
    static constexpr const char* symbols[] = {"==", "!=", "<", "<=", ">", ">="};
    const int order = compare(symbols[static_cast<int>(op) - static_cast<int>(Op::Equal)], a, b);
    switch (op) {
        case Op::Equal: return order == 0;
        case Op::NotEqual: return order != 0;
        case Op::Less: return order == -1;
        case Op::LessEqual: return order == -1 || order == 0;
        case Op::Greater: return order == 1;
        default: return order == 1 || order == 0;
    }
}

Value concat(const Value& a, const Value& b) {
    if (!std::holds_alternative<std::string>(a) && !std::holds_alternative<std::string>(b)) {
        fault(operands("..", a, b) + " (one side must be a string)");
    }
    return to_text(a) + to_text(b);
}

class Evaluation {
public:
    Evaluation(const Script& script, Blackboard& board) : script_(script), board_(board) {}

    Value run() {
        Value last;
        for (const std::int32_t statement : script_.statements) last = eval(statement);
        return last;
    }

private:
    Value eval(std::int32_t index) {
        const Operation& o = script_.operations[static_cast<std::size_t>(index)];
        switch (o.op) {
            case Op::Constant: return script_.constants[static_cast<std::size_t>(o.a)];
            case Op::Variable: return read(script_.names[static_cast<std::size_t>(o.a)], true).value();
            case Op::Assign: return assign(o);
            case Op::Negate: return negate(eval(o.a));
            case Op::Not: return !truth(eval(o.a));
            case Op::BitNot: {
                const Value v = eval(o.a);
                const auto i = as_int(v);
                if (!i) fault("'~' cannot take " + describe(v) + " (bitwise operators take integers only)");
                return ~*i;
            }
            case Op::Add: case Op::Subtract: case Op::Multiply: case Op::Divide: return arithmetic(o.op, eval(o.a), eval(o.b));
            case Op::Concat: return concat(eval(o.a), eval(o.b));
            case Op::BitAnd: case Op::BitOr: case Op::BitXor: return bitwise(o.op, eval(o.a), eval(o.b));
            case Op::And: return truth(eval(o.a)) && truth(eval(o.b));
            case Op::Or: return truth(eval(o.a)) || truth(eval(o.b));
            case Op::Choose: return truth(eval(o.a)) ? eval(o.b) : eval(o.c);
            default: return comparison(o.op, eval(o.a), eval(o.b));
        }
    }

    static Value negate(const Value& v) {
        if (const auto i = as_int(v)) {
            if (*i == INT64_MIN) fault("integer overflow in '-' of " + describe(v));
            return -*i;
        }
        if (const auto* d = std::get_if<double>(&v)) return -*d;
        fault("'-' cannot take " + describe(v));
    }

    Value assign(const Operation& o) {
        const std::string& name = script_.names[static_cast<std::size_t>(o.a)];
        Value value = eval(o.b);
        if (o.assign != AssignForm::Create) {
            const auto current = read(name, false);
            if (!current) {
                static constexpr const char* symbols[] = {":=", "=", "+=", "-=", "*=", "/="};
                fault("'" + name + "' does not exist: '" + symbols[static_cast<int>(o.assign)] +
                      "' assigns only to an existing entry (create it with ':=')");
            }
            if (o.assign != AssignForm::Existing) {
                static constexpr Op ops[] = {Op::Add, Op::Subtract, Op::Multiply, Op::Divide};
                value = arithmetic(ops[static_cast<int>(o.assign) - static_cast<int>(AssignForm::Add)], *current, value);
            }
        }
        hold_gil();
        board_.set(name, value_to_python(value));
        return value;
    }

    std::optional<Value> read(const std::string& name, bool required) {
        if (auto scalar = board_.get_scalar(name)) return scalar;
        hold_gil();
        const auto object = board_.get_holding_gil(name);
        if (!object) {
            if (required) fault("unknown variable '" + name + "' (no such blackboard entry)");
            return std::nullopt;
        }
        return value_from_python(*object, name);
    }

    void hold_gil() {
        if (!gil_) gil_.emplace();
    }

    const Script& script_;
    Blackboard& board_;
    std::optional<nb::gil_scoped_acquire> gil_;
};

}  // namespace

bool truth(const Value& value) {
    if (const auto* s = std::get_if<std::string>(&value)) {
        if (const auto b = parse_bool(*s)) return *b;
        fault(describe(value) + " is not a truth value (strings may hold true, false, 1 or 0)");
    }
    return as_real(value) != 0;
}

Value evaluate(const Script& script, Blackboard& blackboard) { return Evaluation(script, blackboard).run(); }

}  // namespace morvlen::bt::scripting
