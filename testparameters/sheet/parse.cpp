// SheetParameters._parse_value: the content of one cell, converted by the
// variable type written in the row's Type cell.
#include "module/members.hpp"
#include "sheet/safe_eval.hpp"
#include "sheet/strops.hpp"

namespace tp {
namespace {

bool eval_supported(const Call& c) { return truth(getattr(c.self(), c.n().sheet_support_eval)); }

// The builtin eval of `variable_str`, with the module namespace as globals and
// the method's local names, in their order of definition, as locals.
Ref evaluate(const Call& c, PyObject* variable_type, PyObject* variable_str) {
    const Names& n = c.n();
    Ref locals = check(PyDict_New());
    const std::pair<PyObject*, PyObject*> names[] = {
        {n.local_self, c.self()},         {n.local_variable_content, c[1]},
        {n.local_variableType, c[2]},     {n.local_default_type, c[3]},
        {n.local_variable_type, variable_type}, {n.local_variable_str, variable_str},
    };
    for (const auto& [key, value] : names) check_status(PyDict_SetItem(locals, key, value));
    Ref eval = c.global(n.eval_type);
    return call(eval, variable_str, PyModule_GetDict(c.fn.module), locals);
}

bool starts_with(PyObject* s, char ch) {
    if (PyUnicode_CheckExact(s)) return strops::first_char(s) == (unsigned char)ch;
    const char prefix[2] = {ch, '\0'};
    return truth(call_method(s, Ref(text("startswith")), Ref(text(prefix))));
}

}  // namespace

// _parse_value(self, variable_content, variableType, default_type='str')
Ref sheet_parse_value(const Call& c) {
    using strops::equals;
    const Names& n = c.n();
    PyObject* content = c[1];
    PyObject* type_given = c[2];
    PyObject* default_type = c[3];

    Ref variable_type =
        type_given == Py_None ? Ref::borrow(default_type) : strops::lower(n, strops::strip(n, type_given));
    if (equals(variable_type, "")) variable_type = Ref::borrow(default_type);
    if (equals(variable_type, "auto")) return Ref::borrow(content);
    if (content == Py_None) return none();
    Ref variable_str = strops::str_stripped(n, content);
    if (equals(variable_str, "")) return none();

    if (equals(variable_type, "unicode") || equals(variable_type, "str") || equals(variable_type, "string"))
        return variable_str;
    if (equals(variable_type, "bytes")) {
        if (PyUnicode_CheckExact(variable_str)) return check(PyUnicode_AsUTF8String(variable_str));
        return call_method(variable_str, Ref(text("encode")), Ref(text("utf-8")));
    }
    if (equals(variable_type, "int")) {
        // Without eval support the text is literal arithmetic at most: it must
        // not run code taken from a workbook.
        Ref result = eval_supported(c) ? evaluate(c, variable_type, variable_str) : safe_eval(variable_str);
        return check(PyNumber_Long(result));
    }
    if (equals(variable_type, "float")) {
        if (PyUnicode_CheckExact(variable_str)) return check(PyFloat_FromString(variable_str));
        return call(reinterpret_cast<PyObject*>(&PyFloat_Type), variable_str);
    }
    if (equals(variable_type, "bool") || equals(variable_type, "boolean")) {
        Ref lowered = strops::lower(n, variable_str);
        return boolean(starts_with(lowered, 't') || starts_with(lowered, 'y') || starts_with(lowered, '1'));
    }
    if (equals(variable_type, "eval")) {
        if (eval_supported(c)) return evaluate(c, variable_type, variable_str);
        raise(PyExc_ValueError, "Variable type \"eval\" is not supported by this program.");
    }
    raise_format(PyExc_TypeError, "Unknown variable type: %s", type_given);
}

}  // namespace tp
