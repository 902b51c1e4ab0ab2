// SheetParameters._parse_value: the content of one cell, converted by the
// variable type written in the row's Type cell.
#include "module/members.hpp"
#include "sheet/literal.hpp"
#include "sheet/safe_eval.hpp"
#include "sheet/strops.hpp"

#include <cctype>
#include <cstring>

namespace tp {
namespace {

TP_ARGUMENTS(ParseArgs, self, variable_content, variableType, default_type);

enum class VarKind { Unicode, Str, String, Bytes, Int, Float, Bool, Boolean, Eval, Unknown };

// The texts of the vocabulary after "auto", in the order they are tested.
#define TP_VOCABULARY_ENTRY(literal, kind) {literal, sizeof(literal) - 1, kind}
const struct {
    const char* text;
    size_t length;
    VarKind kind;
} kVocabulary[] = {
    TP_VOCABULARY_ENTRY("unicode", VarKind::Unicode), TP_VOCABULARY_ENTRY("str", VarKind::Str),
    TP_VOCABULARY_ENTRY("string", VarKind::String),   TP_VOCABULARY_ENTRY("bytes", VarKind::Bytes),
    TP_VOCABULARY_ENTRY("int", VarKind::Int),         TP_VOCABULARY_ENTRY("float", VarKind::Float),
    TP_VOCABULARY_ENTRY("bool", VarKind::Bool),       TP_VOCABULARY_ENTRY("boolean", VarKind::Boolean),
    TP_VOCABULARY_ENTRY("eval", VarKind::Eval),
};
#undef TP_VOCABULARY_ENTRY

// The first vocabulary text that `variable_type` equals (the host's ==, in
// the order of the vocabulary; an exact str is compared here directly).
VarKind classify(PyObject* variable_type) {
    for (const auto& entry : kVocabulary)
        if (strops::equals(variable_type, entry.text, entry.length)) return entry.kind;
    return VarKind::Unknown;
}

bool eval_supported(const Call& c) {
    Ref flag = getattr(c.self(), c.n().sheet_support_eval);
    if (!strops::plain(flag)) ++c.st.calls_out;
    return truth(flag);
}

// Whether evaluating `text` with the builtin eval can run nothing but the
// interpreter's arithmetic: numeric literals, + - * / % ( ) and blanks. A
// name, a text, an attribute or a subscript may reach code of the caller's.
bool arithmetic_only(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return false;
    const char* p = static_cast<const char*>(PyUnicode_DATA(text));
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    auto at = [&](Py_ssize_t i) { return i < len ? p[i] : '\0'; };
    auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
    auto separator = [](char ch) { return ch != '\0' && std::strchr("+-*/%() \t", ch) != nullptr; };
    Py_ssize_t i = 0;
    while (i < len) {
        const char ch = p[i];
        if (separator(ch)) {
            ++i;
            continue;
        }
        if (!digit(ch) && !(ch == '.' && digit(at(i + 1)))) return false;
        if (ch == '0' && at(i + 1) != '\0' && std::strchr("xXoObB", at(i + 1))) {
            i += 2;
            while (std::isxdigit((unsigned char)at(i)) || at(i) == '_') ++i;
        } else {
            while (digit(at(i)) || at(i) == '_') ++i;
            if (at(i) == '.') ++i;
            while (digit(at(i)) || at(i) == '_') ++i;
            if (at(i) == 'e' || at(i) == 'E') {
                ++i;
                if (at(i) == '+' || at(i) == '-') ++i;
                while (digit(at(i)) || at(i) == '_') ++i;
            }
            if (at(i) == 'j' || at(i) == 'J') ++i;
        }
        // A literal ends at an operator, a parenthesis, a blank or the end.
        if (i < len && !separator(p[i])) return false;
    }
    return true;
}

// eval(variable_str, globals, locals), `eval` being what that name finds when
// the method runs: the module namespace as globals, and as locals the
// method's local names in their order of definition. A plain literal text is
// read directly when `eval` is the builtin one, whose result for it is the
// same value.
Ref evaluate(const Call& c, const ParseArgs& a, PyObject* variable_type, PyObject* variable_str) {
    const Names& n = c.n();
    Ref eval = c.global(n.eval_type);
    PyObject* globals = PyModule_GetDict(c.fn.module);
    // The builtins module's own eval, not a replacement bound under its name.
    const bool builtin = eval.get() == c.st.builtin_eval.get();
    if (builtin) {
        // The builtin eval also adds __builtins__ to globals that lack it.
        if (PyDict_GetItemWithError(globals, n.dunder_builtins))
            if (Ref value = plain_literal(variable_str)) return value;
        if (PyErr_Occurred()) raise();
    }
    if (!builtin || !arithmetic_only(variable_str)) ++c.st.calls_out;
    Ref locals = check(PyDict_New());
    const std::pair<PyObject*, PyObject*> names[] = {
        {n.local_self, a.self},           {n.local_variable_content, a.variable_content},
        {n.local_variableType, a.variableType}, {n.local_default_type, a.default_type},
        {n.local_variable_type, variable_type}, {n.local_variable_str, variable_str},
    };
    for (const auto& [key, value] : names) check_status(PyDict_SetItem(locals, key, value));
    return call(eval, variable_str, globals, locals);
}

// s.startswith(prefix), `prefix` being one ASCII character, also as a str.
bool starts_with(const Names& n, PyObject* s, char ch, PyObject* prefix) {
    if (PyUnicode_CheckExact(s)) return strops::first_char(s) == (unsigned char)ch;
    return truth(call_method(s, n.startswith, prefix));
}

Ref parse_value(const Call& c, const ParseArgs& a) {
    const Names& n = c.n();
    PyObject* content = a.variable_content;
    PyObject* type_given = a.variableType;
    PyObject* default_type = a.default_type;

    // The str(), strip() and == of objects of other classes run their code.
    if (!strops::plain(content) || !(type_given == Py_None || PyUnicode_CheckExact(type_given)) ||
        !PyUnicode_CheckExact(default_type))
        ++c.st.calls_out;
    Ref variable_type =
        type_given == Py_None ? Ref::borrow(default_type) : strops::lower(n, strops::strip(n, type_given));
    if (strops::equals(variable_type, "")) variable_type = Ref::borrow(default_type);
    if (strops::equals(variable_type, "auto")) return Ref::borrow(content);
    if (content == Py_None) return none();
    Ref variable_str = strops::str_stripped(n, content);
    if (strops::equals(variable_str, "")) return none();

    switch (classify(variable_type)) {
        case VarKind::Unicode:
        case VarKind::Str:
        case VarKind::String:
            return variable_str;
        case VarKind::Bytes:
            if (PyUnicode_CheckExact(variable_str)) return check(PyUnicode_AsUTF8String(variable_str));
            return call_method(variable_str, n.encode, n.utf_8);
        case VarKind::Int: {
            // Without eval support the text is literal arithmetic at most: a
            // workbook must not be able to run code through an "int" cell.
            if (!eval_supported(c)) return safe_eval_int(n, variable_str);
            return check(PyNumber_Long(evaluate(c, a, variable_type, variable_str)));
        }
        case VarKind::Float:
            if (PyUnicode_CheckExact(variable_str)) return check(PyFloat_FromString(variable_str));
            return call(reinterpret_cast<PyObject*>(&PyFloat_Type), variable_str);
        case VarKind::Bool:
        case VarKind::Boolean: {
            Ref lowered = strops::lower(n, variable_str);
            return boolean(starts_with(n, lowered, 't', n.letter_t) || starts_with(n, lowered, 'y', n.letter_y) ||
                           starts_with(n, lowered, '1', n.digit_1));
        }
        case VarKind::Eval:
            if (eval_supported(c)) return evaluate(c, a, variable_type, variable_str);
            raise(PyExc_ValueError, "Variable type \"eval\" is not supported by this program.");
        case VarKind::Unknown:
            break;
    }
    raise_format(PyExc_TypeError, "Unknown variable type: %s", type_given);
}

}  // namespace

const Member kSheetParseValue =
    method<ParseArgs, parse_value>("_parse_value", "(self, variable_content, variableType, default_type='str')");

}  // namespace tp
