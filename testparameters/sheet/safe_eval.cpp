#include "sheet/safe_eval.hpp"

#include "module/ops.hpp"
#include "sheet/literal.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tp {
namespace {

enum class Node { Expression, Constant, Num, Str, Bytes, NameConstant, UnaryOp, BinOp, Name, Other };
enum class Op { UAdd, USub, Add, Sub, Mult, Div, FloorDiv, Mod, Pow, Other };

// The class name of a syntax tree node ("BinOp"), whatever module prefix the
// interpreter gives its node types.
const char* class_name(PyObject* node) {
    const char* name = Py_TYPE(node)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

Node node_kind(PyObject* node) {
    static const struct {
        const char* name;
        Node kind;
    } kinds[] = {
        {"Expression", Node::Expression}, {"Constant", Node::Constant}, {"Num", Node::Num},
        {"Str", Node::Str},               {"Bytes", Node::Bytes},       {"NameConstant", Node::NameConstant},
        {"UnaryOp", Node::UnaryOp},       {"BinOp", Node::BinOp},       {"Name", Node::Name},
    };
    const char* name = class_name(node);
    for (const auto& k : kinds)
        if (std::strcmp(name, k.name) == 0) return k.kind;
    return Node::Other;
}

Op op_kind(PyObject* op) {
    static const struct {
        const char* name;
        Op kind;
    } ops[] = {
        {"UAdd", Op::UAdd}, {"USub", Op::USub},         {"Add", Op::Add}, {"Sub", Op::Sub}, {"Mult", Op::Mult},
        {"Div", Op::Div},   {"FloorDiv", Op::FloorDiv}, {"Mod", Op::Mod}, {"Pow", Op::Pow},
    };
    const char* name = class_name(op);
    for (const auto& o : ops)
        if (std::strcmp(name, o.name) == 0) return o.kind;
    return Op::Other;
}

Ref field(PyObject* node, PyObject* name) { return getattr(node, name); }

bool is_text(PyObject* v) { return PyUnicode_Check(v) || PyBytes_Check(v); }

Py_ssize_t text_length(PyObject* v) { return PyUnicode_Check(v) ? PyUnicode_GET_LENGTH(v) : PyBytes_GET_SIZE(v); }

// At most the first kSafeEvalQuote characters of `s`, "..." marking a cut.
Ref quote(PyObject* s) {
    if (!PyUnicode_Check(s)) return str(s);
    if (PyUnicode_GET_LENGTH(s) <= kSafeEvalQuote) return Ref::borrow(s);
    Ref head = check(PyUnicode_Substring(s, 0, kSafeEvalQuote));
    return check(PyUnicode_FromFormat("%U...", head.get()));
}

// Numbers of tokens and depth of brackets of a cell text, counted the way
// the tokenizer splits it: texts and comments are skipped as wholes, a
// number or a name is one token, every other character is one (so that a
// two-character operator counts twice: the count is an upper bound).
struct Shape {
    long tokens = 0;
    long nesting = 0;
};

Shape shape_of(PyObject* source) {
    Shape shape;
    const int kind = PyUnicode_KIND(source);
    const void* data = PyUnicode_DATA(source);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(source);
    auto at = [&](Py_ssize_t i) -> Py_UCS4 { return i < len ? PyUnicode_READ(kind, data, i) : 0; };
    auto word_char = [](Py_UCS4 ch) {
        return ch >= 128 || ch == '_' || (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') ||
               (ch >= 'A' && ch <= 'Z');
    };
    long depth = 0;
    Py_ssize_t i = 0;
    while (i < len) {
        const Py_UCS4 ch = at(i);
        if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\\') {
            ++i;
        } else if (ch == '#') {
            while (i < len && at(i) != '\n') ++i;
        } else if (ch == '\'' || ch == '"') {
            const bool triple = at(i + 1) == ch && at(i + 2) == ch;
            i += triple ? 3 : 1;
            while (i < len) {
                if (at(i) == '\\') {
                    i += 2;
                } else if (at(i) == ch && (!triple || (at(i + 1) == ch && at(i + 2) == ch))) {
                    i += triple ? 3 : 1;
                    break;
                } else {
                    ++i;
                }
            }
            ++shape.tokens;
        } else if ((ch >= '0' && ch <= '9') || (ch == '.' && at(i + 1) >= '0' && at(i + 1) <= '9')) {
            // A number: digits, letters of a base or an exponent, one point.
            while (i < len) {
                const Py_UCS4 d = at(i);
                if ((d == '+' || d == '-') && (at(i - 1) == 'e' || at(i - 1) == 'E'))
                    ++i;
                else if (word_char(d) || d == '.')
                    ++i;
                else
                    break;
            }
            ++shape.tokens;
        } else if (word_char(ch)) {
            while (i < len && word_char(at(i))) ++i;
            ++shape.tokens;
        } else {
            if (ch == '(' || ch == '[' || ch == '{') shape.nesting = std::max(shape.nesting, ++depth);
            if ((ch == ')' || ch == ']' || ch == '}') && depth > 0) --depth;
            ++i;
            ++shape.tokens;
        }
    }
    return shape;
}

// A SyntaxError whose text (the cell) is long keeps about kSafeEvalQuote
// characters of it around the place of the error, its offsets moved to match.
void shorten_syntax_error(const Names& n) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) return;
    PyObject *type, *value, *traceback;
    compat::error_fetch_normalized(&type, &value, &traceback);
    try {
        Ref text = getattr_opt(value, n.syntax_text);
        if (text && PyUnicode_Check(text.get()) && PyUnicode_GET_LENGTH(text.get()) > kSafeEvalQuote) {
            const Py_ssize_t len = PyUnicode_GET_LENGTH(text.get());
            Ref offset = getattr_opt(value, n.offset);
            Py_ssize_t at = offset && PyLong_Check(offset.get()) ? PyLong_AsSsize_t(offset) : 1;
            if (at == -1 && PyErr_Occurred()) raise();
            const Py_ssize_t start = std::max<Py_ssize_t>(0, std::min(at - 1, len) - kSafeEvalQuote / 2);
            const Py_ssize_t end = std::min(len, start + kSafeEvalQuote);
            Ref part = check(PyUnicode_Substring(text, start, end));
            const char* prefix = start > 0 ? "..." : "";
            const Py_ssize_t shift = start - (Py_ssize_t)std::strlen(prefix);
            Ref shortened = check(PyUnicode_FromFormat("%s%U%s", prefix, part.get(), end < len ? "..." : ""));
            setattr(value, n.syntax_text, shortened);
            for (PyObject* key : {n.offset.get(), n.end_offset.get()}) {
                Ref old = getattr_opt(value, key);
                if (!old || !PyLong_Check(old.get())) continue;
                Py_ssize_t moved = PyLong_AsSsize_t(old) - shift;
                if (moved == -1 - shift && PyErr_Occurred()) raise();
                moved = std::max<Py_ssize_t>(1, std::min(moved, PyUnicode_GET_LENGTH(shortened.get()) + 1));
                setattr(value, key, Ref(check(PyLong_FromSsize_t(moved))));
            }
        }
    } catch (...) {
        PyErr_Clear();
    }
    compat::error_restore(type, value, traceback);
}

class Evaluator {
public:
    Evaluator(const Names& n, PyObject* source) : n_(n), source_(source) {}

    // Refuses every node that is not literal arithmetic, before anything is computed.
    void validate(PyObject* node) {
        switch (node_kind(node)) {
            case Node::Expression:
                validate(field(node, n_.ast_body));
                return;
            case Node::Constant: {
                Ref value = field(node, n_.value);
                if (!(PyLong_Check(value) || PyFloat_Check(value) || PyComplex_Check(value) || is_text(value)))
                    refuse();
                return;
            }
            case Node::Num:
            case Node::Str:
            case Node::Bytes:
                return;
            case Node::NameConstant: {
                Ref value = field(node, n_.value);
                if (!PyBool_Check(value)) refuse();
                return;
            }
            case Node::UnaryOp: {
                Op op = op_kind(field(node, n_.ast_op));
                if (op != Op::UAdd && op != Op::USub) refuse();
                validate(field(node, n_.ast_operand));
                return;
            }
            case Node::BinOp: {
                Op op = op_kind(field(node, n_.ast_op));
                if (op == Op::Other || op == Op::UAdd || op == Op::USub) refuse();
                validate(field(node, n_.ast_left));
                validate(field(node, n_.ast_right));
                return;
            }
            case Node::Name:
                return;
            case Node::Other:
                refuse();
        }
    }

    Ref evaluate(PyObject* node) {
        charge(kNodeCost);
        switch (node_kind(node)) {
            case Node::Expression:
                return evaluate(field(node, n_.ast_body));
            case Node::Constant:
            case Node::NameConstant:
                return field(node, n_.value);
            case Node::Num:
                return field(node, n_.ast_n);
            case Node::Str:
            case Node::Bytes:
                return field(node, n_.ast_s);
            case Node::UnaryOp: {
                Op op = op_kind(field(node, n_.ast_op));
                Ref operand = evaluate(field(node, n_.ast_operand));
                if (PyLong_Check(operand.get())) charge(2.0 * digits(operand));
                return check(op == Op::USub ? PyNumber_Negative(operand) : PyNumber_Positive(operand));
            }
            case Node::BinOp: {
                Op op = op_kind(field(node, n_.ast_op));
                Ref left = evaluate(field(node, n_.ast_left));
                Ref right = evaluate(field(node, n_.ast_right));
                return binary(op, left, right);
            }
            case Node::Name:
                raise_format(PyExc_NameError, "name '%s' is not defined", quote(field(node, n_.ast_id)));
            case Node::Other:
                break;
        }
        refuse();
    }

    // int() of the value, a text's conversion charged too (it takes time in
    // the square of its length).
    Ref to_int(PyObject* value) {
        if (is_text(value)) {
            const double len = (double)text_length(value);
            charge(len * len / 150.0);
        }
        return check(PyNumber_Long(value));
    }

    // Charges the cost of parsing the text into a tree.
    void parsed(Py_ssize_t length, long tokens) { charge(5.0 * (double)length + 1500.0 * (double)tokens); }

    [[noreturn]] void refuse() {
        raise_format(PyExc_ValueError,
                     "Cannot evaluate \"%s\": only numbers, strings, parentheses and the operators "
                     "+ - * / // %% ** are allowed when eval is not supported",
                     quote(source_));
    }

    [[noreturn]] void fail(const char* why) {
        Ref message = check(PyUnicode_FromFormat("Cannot evaluate \"%U\": %s", quote(source_).get(), why));
        PyErr_SetObject(PyExc_ValueError, message);
        raise();
    }

    [[noreturn]] void too_large() { fail("the result would be too large"); }

private:
    static constexpr double kNodeCost = 500.0;

    void charge(double units) {
        spent_ += units;
        if (spent_ > kSafeEvalBudget) fail("it would take too long to compute");
    }

    size_t bits_of(PyObject* v) {
        Ref bits = call_method(v, n_.bit_length);
        size_t b = PyLong_AsSize_t(bits);
        if (b == (size_t)-1 && PyErr_Occurred()) raise();
        return b;
    }

    // Size of an int in the interpreter's 30-bit digits.
    double digits(PyObject* v) { return (double)(bits_of(v) / 30 + 1); }

    // Time of a product of ints of `a` and `b` digits: schoolbook for a small
    // factor, Karatsuba (by slices of the smaller size) otherwise, which
    // squares a number in about a third of the time of a product.
    static double product_cost(double a, double b, bool square = false) {
        const double small = std::min(a, b), large = std::max(a, b);
        if (small <= 70) return 4.0 * small * large;
        return (square ? 6.0 : 16.0) * large * std::pow(small, 0.585);
    }

    Ref binary(Op op, PyObject* left, PyObject* right) {
        const bool ints = PyLong_Check(left) && PyLong_Check(right);
        switch (op) {
            case Op::Add:
                if (is_text(left) && is_text(right)) {
                    if (text_length(left) + text_length(right) > kSafeEvalMaxLength) too_large();
                    charge((double)(text_length(left) + text_length(right)) / 2.0);
                }
                if (ints) charge(2.0 * std::max(digits(left), digits(right)));
                return check(PyNumber_Add(left, right));
            case Op::Sub:
                if (ints) charge(2.0 * std::max(digits(left), digits(right)));
                return check(PyNumber_Subtract(left, right));
            case Op::Mult:
                guard_product(left, right);
                return check(PyNumber_Multiply(left, right));
            case Op::Div:
                if (ints) charge(4.0 * (digits(left) + digits(right)));
                return check(PyNumber_TrueDivide(left, right));
            case Op::FloorDiv:
                if (ints) charge_division(left, right);
                return check(PyNumber_FloorDivide(left, right));
            case Op::Mod:
                // "%" on a str or bytes is formatting, whose result size the
                // operands do not bound.
                if (is_text(left)) refuse();
                if (ints) charge_division(left, right);
                return check(PyNumber_Remainder(left, right));
            case Op::Pow:
                guard_power(left, right);
                return check(PyNumber_Power(left, right, Py_None));
            default:
                refuse();
        }
    }

    void charge_division(PyObject* left, PyObject* right) {
        const double a = digits(left), b = digits(right);
        charge(2.0 * a + (a >= b ? 1.5 * (a - b + 1) * b : 0.0));
    }

    void guard_product(PyObject* left, PyObject* right) {
        if (PyLong_Check(left) && PyLong_Check(right)) {
            size_t a = bits_of(left), b = bits_of(right);
            if (a && b && a + b - 1 > kSafeEvalMaxBits) too_large();
            charge(product_cost(digits(left), digits(right)));
            return;
        }
        PyObject* seq = is_text(left) ? left : is_text(right) ? right : nullptr;
        PyObject* count = seq == left ? right : left;
        if (!seq || !PyLong_Check(count) || text_length(seq) == 0) return;
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (n == -1 && PyErr_Occurred()) raise();
        if (overflow > 0 || (n > 0 && n > kSafeEvalMaxLength / text_length(seq))) too_large();
        if (n > 0) charge((double)n * (double)text_length(seq) / 2.0);
    }

    void guard_power(PyObject* base, PyObject* exponent) {
        if (!PyLong_Check(base) || !PyLong_Check(exponent)) return;
        const size_t exponent_bits = bits_of(exponent);
        size_t base_bits = bits_of(base);
        int overflow = 0;
        long long e = PyLong_AsLongLongAndOverflow(exponent, &overflow);
        if (e == -1 && PyErr_Occurred()) raise();
        if (overflow < 0 || (overflow == 0 && e <= 0)) return;  // a float or 1
        // Square and multiply: one step per bit of the exponent.
        charge(60.0 * (double)exponent_bits);
        if (base_bits < 2) return;  // 0, 1 and -1 stay small
        // |base| >= 2, so the result has more than e bits.
        if (overflow > 0 || e > (long long)kSafeEvalMaxBits) too_large();
        double log2_base = base_bits <= 1000 ? std::log2(std::fabs(PyLong_AsDouble(base))) : (double)(base_bits - 1);
        if (log2_base * (double)e > (double)kSafeEvalMaxBits) too_large();
        // Left-to-right binary powering: a squaring per bit of the exponent
        // after the first, and a product by the base per further bit set.
        // Sizes in digits; each product costs at least that of one digit.
        const double d = log2_base / 30.0;
        double size = d, cost = 0;
        for (int bit = 63 - __builtin_clzll((unsigned long long)e); bit-- > 0;) {
            cost += product_cost(std::max(size, 1.0), std::max(size, 1.0), true);
            size *= 2;
            if ((e >> bit) & 1) {
                cost += product_cost(std::max(size, 1.0), std::max(d, 1.0));
                size += d;
            }
        }
        charge(cost);
    }

    const Names& n_;
    PyObject* source_;
    double spent_ = 0;
};

}  // namespace

Ref safe_eval_int(const Names& n, PyObject* source) {
    Evaluator ev(n, source);
    if (!PyUnicode_Check(source)) ev.refuse();
    if (!compat::unicode_ready(source)) raise();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(source);
    if (length > kSafeEvalMaxSource) ev.fail("longer than 10000 characters");
    // The texts that sheets hold most (5, -3, 2.5, 0x1F) need no compiler.
    if (Ref value = plain_literal(source))
        if (PyLong_Check(value.get()) || PyFloat_Check(value.get())) return check(PyNumber_Long(value));
    const Shape shape = shape_of(source);
    if (shape.tokens > kSafeEvalMaxTokens) ev.fail("more than 1000 numbers, names and operators");
    if (shape.nesting > kSafeEvalMaxNesting) ev.fail("brackets nested more than 25 deep");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size);
    if (!utf8) raise();
    if ((Py_ssize_t)std::strlen(utf8) != size) raise(PyExc_ValueError, "source code string cannot contain null bytes");
    ev.parsed(length, shape.tokens);
    PyObject* tree = compat::parse_to_ast(utf8, "<string>", Py_eval_input);
    if (!tree) {
        shorten_syntax_error(n);
        raise();
    }
    Ref hold = Ref::steal(tree);
    ev.validate(hold);
    Ref value = ev.evaluate(hold);
    return ev.to_int(value);
}

}  // namespace tp
