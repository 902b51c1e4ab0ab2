#include "sheet/safe_eval.hpp"

#include "module/ops.hpp"

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

Ref field(PyObject* node, const char* name) { return check(PyObject_GetAttrString(node, name)); }

bool is_text(PyObject* v) { return PyUnicode_Check(v) || PyBytes_Check(v); }

Py_ssize_t text_length(PyObject* v) { return PyUnicode_Check(v) ? PyUnicode_GET_LENGTH(v) : PyBytes_GET_SIZE(v); }

size_t bits_of(PyObject* v) {
    size_t bits = _PyLong_NumBits(v);
    if (bits == (size_t)-1 && PyErr_Occurred()) raise();
    return bits;
}

// Keeps the C stack bounded however deeply the expression nests.
struct Depth {
    Depth() { check_status(Py_EnterRecursiveCall(" while evaluating a cell expression") ? -1 : 0); }
    ~Depth() { Py_LeaveRecursiveCall(); }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
};

class Evaluator {
public:
    explicit Evaluator(PyObject* source) : source_(source) {}

    // Refuses every node that is not literal arithmetic, before anything is computed.
    void validate(PyObject* node) {
        Depth depth;
        switch (node_kind(node)) {
            case Node::Expression:
                validate(field(node, "body"));
                return;
            case Node::Constant: {
                Ref value = field(node, "value");
                if (!(PyLong_Check(value) || PyFloat_Check(value) || PyComplex_Check(value) || is_text(value)))
                    refuse();
                return;
            }
            case Node::Num:
            case Node::Str:
            case Node::Bytes:
                return;
            case Node::NameConstant: {
                Ref value = field(node, "value");
                if (!PyBool_Check(value)) refuse();
                return;
            }
            case Node::UnaryOp: {
                Op op = op_kind(field(node, "op"));
                if (op != Op::UAdd && op != Op::USub) refuse();
                validate(field(node, "operand"));
                return;
            }
            case Node::BinOp: {
                Op op = op_kind(field(node, "op"));
                if (op == Op::Other || op == Op::UAdd || op == Op::USub) refuse();
                validate(field(node, "left"));
                validate(field(node, "right"));
                return;
            }
            case Node::Name:
                return;
            case Node::Other:
                refuse();
        }
    }

    Ref evaluate(PyObject* node) {
        Depth depth;
        switch (node_kind(node)) {
            case Node::Expression:
                return evaluate(field(node, "body"));
            case Node::Constant:
            case Node::NameConstant:
                return field(node, "value");
            case Node::Num:
                return field(node, "n");
            case Node::Str:
            case Node::Bytes:
                return field(node, "s");
            case Node::UnaryOp: {
                Op op = op_kind(field(node, "op"));
                Ref operand = evaluate(field(node, "operand"));
                return check(op == Op::USub ? PyNumber_Negative(operand) : PyNumber_Positive(operand));
            }
            case Node::BinOp: {
                Op op = op_kind(field(node, "op"));
                Ref left = evaluate(field(node, "left"));
                Ref right = evaluate(field(node, "right"));
                return binary(op, left, right);
            }
            case Node::Name:
                raise_format(PyExc_NameError, "name '%s' is not defined", field(node, "id"));
            case Node::Other:
                break;
        }
        refuse();
    }

    [[noreturn]] void refuse() {
        raise_format(PyExc_ValueError,
                     "Cannot evaluate \"%s\": only numbers, strings, parentheses and the operators "
                     "+ - * / // %% ** are allowed when eval is not supported",
                     source_);
    }

    [[noreturn]] void too_large() {
        raise_format(PyExc_ValueError, "Cannot evaluate \"%s\": the result would be too large", source_);
    }

private:
    Ref binary(Op op, PyObject* left, PyObject* right) {
        switch (op) {
            case Op::Add:
                if (is_text(left) && is_text(right) &&
                    text_length(left) + text_length(right) > kSafeEvalMaxLength)
                    too_large();
                return check(PyNumber_Add(left, right));
            case Op::Sub:
                return check(PyNumber_Subtract(left, right));
            case Op::Mult:
                guard_product(left, right);
                return check(PyNumber_Multiply(left, right));
            case Op::Div:
                return check(PyNumber_TrueDivide(left, right));
            case Op::FloorDiv:
                return check(PyNumber_FloorDivide(left, right));
            case Op::Mod:
                // "%" on a str or bytes is formatting, whose result size the
                // operands do not bound.
                if (is_text(left)) refuse();
                return check(PyNumber_Remainder(left, right));
            case Op::Pow:
                guard_power(left, right);
                return check(PyNumber_Power(left, right, Py_None));
            default:
                refuse();
        }
    }

    void guard_product(PyObject* left, PyObject* right) {
        if (PyLong_Check(left) && PyLong_Check(right)) {
            size_t a = bits_of(left), b = bits_of(right);
            if (a && b && a + b - 1 > kSafeEvalMaxBits) too_large();
            return;
        }
        PyObject* seq = is_text(left) ? left : is_text(right) ? right : nullptr;
        PyObject* count = seq == left ? right : left;
        if (!seq || !PyLong_Check(count) || text_length(seq) == 0) return;
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (n == -1 && PyErr_Occurred()) raise();
        if (overflow > 0 || (n > 0 && n > kSafeEvalMaxLength / text_length(seq))) too_large();
    }

    void guard_power(PyObject* base, PyObject* exponent) {
        if (!PyLong_Check(base) || !PyLong_Check(exponent)) return;
        size_t base_bits = bits_of(base);
        if (base_bits < 2) return;  // 0, 1 and -1 stay small
        int overflow = 0;
        long long e = PyLong_AsLongLongAndOverflow(exponent, &overflow);
        if (e == -1 && PyErr_Occurred()) raise();
        if (overflow < 0 || (overflow == 0 && e <= 0)) return;  // a float or 1
        // |base| >= 2, so the result has more than e bits.
        if (overflow > 0 || e > (long long)kSafeEvalMaxBits) too_large();
        double log2_base = base_bits <= 1000 ? std::log2(std::fabs(PyLong_AsDouble(base))) : (double)(base_bits - 1);
        if (log2_base * (double)e > (double)kSafeEvalMaxBits) too_large();
    }

    PyObject* source_;
};

}  // namespace

Ref safe_eval(PyObject* source) {
    Evaluator ev(source);
    if (!PyUnicode_Check(source)) ev.refuse();
    if (!compat::unicode_ready(source)) raise();
    if (PyUnicode_GET_LENGTH(source) > kSafeEvalMaxLength) ev.too_large();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size);
    if (!utf8) raise();
    if ((Py_ssize_t)std::strlen(utf8) != size) raise(PyExc_ValueError, "source code string cannot contain null bytes");
    Ref tree = check(compat::parse_to_ast(utf8, "<string>", Py_eval_input));
    ev.validate(tree);
    return ev.evaluate(tree);
}

}  // namespace tp
