// The three classes: their namespaces, filled in definition order, and their
// creation through `type(name, (), namespace)`.
#include "module/classes.hpp"

#include "module/members.hpp"

namespace tp {
namespace {

enum class Kind {
    Method,    // a function
    Getter,    // property(function)
    Setter,    // <current binding>.setter(function)
    Alias,     // the object bound under another name of the namespace
    Constant,  // an int
};

struct Member {
    Kind kind;
    const char* name;
    const char* signature;  // parameter list of a function, as a def writes it
    Impl impl;
    const char* target;  // Alias: the name aliased
    long constant;
};

constexpr Member method(const char* name, const char* signature, Impl impl) {
    return {Kind::Method, name, signature, impl, nullptr, 0};
}
constexpr Member getter(const char* name, const char* signature, Impl impl) {
    return {Kind::Getter, name, signature, impl, nullptr, 0};
}
constexpr Member setter(const char* name, const char* signature, Impl impl) {
    return {Kind::Setter, name, signature, impl, nullptr, 0};
}
constexpr Member alias(const char* name, const char* target) { return {Kind::Alias, name, nullptr, nullptr, target, 0}; }
constexpr Member constant(const char* name, long value) { return {Kind::Constant, name, nullptr, nullptr, nullptr, value}; }

const Member kParameter[] = {
    method("__init__", "(self, name, desc='', value=None, low=None, up=None, unit='', _type='str')", parameter_init),
};

const Member kSheetParameters[] = {
    method("__init__", "(self, support_eval=True)", sheet_init),
    method("sheet_name", "(self)", sheet_name),
    method("sheet_rename", "(self, new)", sheet_rename),
    getter("name", "(self)", sheet_name_get),
    setter("name", "(self, value)", sheet_name_set),
    getter("parameter_names", "(self) -> List[str]", sheet_parameter_names),
    method("load", "(self, book, sheetname, max_empty_row=0)", sheet_load),
    method("set_parameter", "(self, *args, **kwargs)", sheet_set_parameter),
    method("get_parameter", "(self, name, raise_exception=True) -> Parameter", sheet_get_parameter),
    method("get_prefix_count", "(self, prefix)", sheet_prefix_count),
    method("get_prefix_names", "(self, prefix)", sheet_prefix_names),
    method("get_prefix_parameters", "(self, prefix)", sheet_prefix_parameters),
    method("get_postfix_count", "(self, postfix)", sheet_postfix_count),
    method("get_postfix_names", "(self, postfix)", sheet_postfix_names),
    method("get_postfix_parameters", "(self, postfix)", sheet_postfix_parameters),
    method("has_parameter", "(self, name)", sheet_has_parameter),
    method("get_value", "(self, name, default=None)", sheet_get_value),
    alias("get", "get_value"),
    method("set_value", "(self, name, value)", sheet_set_value),
    alias("set", "set_value"),
    method("_parse_value", "(self, variable_content, variableType, default_type='str')", sheet_parse_value),
    method("save", "(self, book)", sheet_save),
};

const Member kBookParameters[] = {
    constant("LIMIT_MODE_ABSOLUTE", 0),
    constant("LIMIT_MODE_RELATIVE", 1),
    method("__init__", "(self, bookname, support_eval=True)", book_init),
    method("get_all_sheet_names", "(self)", book_get_all_sheet_names),
    method("sheet_rename", "(self, old: 'unicode', new: 'unicode')", book_sheet_rename),
    method("unload_sheet", "(self, sheetname)", book_unload_sheet),
    method("load_sheet", "(self, sheetname)", book_load_sheet),
    method("has_sheet", "(self, sheetname)", book_has_sheet),
    method("get_sheet_parameters", "(self, sheetname, raise_exception=True)", book_get_sheet_parameters),
    method("get_parameter", "(self, name, raise_exception=True) -> Parameter", book_get_parameter),
    method("get_parameter_from_sheet", "(self, paraname, sheetname, raise_exception=True)",
           book_get_parameter_from_sheet),
    method("has_parameter", "(self, name)", book_has_parameter),
    method("get_value", "(self, name, default=None)", book_get_value),
    alias("get", "get_value"),
    method("set_value", "(self, name, value)", book_set_value),
    alias("set", "set_value"),
    method("get_low", "(self, name, default=None, mode: 'int' = LIMIT_MODE_ABSOLUTE)", book_get_low),
    method("get_up", "(self, name, default=None, mode: 'int' = LIMIT_MODE_ABSOLUTE)", book_get_up),
    method("save", "(self)", book_save),
    method("save_as", "(self, book_name)", book_save_as),
};

// A name as a class body sees it: the namespace, the module, the builtins.
Ref lookup(PyObject* module, PyObject* ns, const char* name) {
    Ref key = text(name);
    for (PyObject* scope : {ns, PyModule_GetDict(module), state_of(module).builtins.get()}) {
        PyObject* v = PyDict_GetItemWithError(scope, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) raise();
    }
    raise_format(PyExc_NameError, "name '%s' is not defined", key);
}

template <size_t N>
void define_class(PyObject* module, const char* cls, const Member (&members)[N]) {
    const Names& n = state_of(module).n;
    Ref ns = check(PyDict_New());
    Ref qualname = text(cls);
    check_status(PyDict_SetItem(ns, n.dunder_module, n.module_name));
    check_status(PyDict_SetItem(ns, n.dunder_qualname, qualname));
    for (const Member& m : members) {
        Ref value;
        switch (m.kind) {
            case Kind::Method:
                value = make_function(module, ns, cls, m.name, m.signature, m.impl);
                break;
            case Kind::Getter:
                value = call(reinterpret_cast<PyObject*>(&PyProperty_Type),
                             make_function(module, ns, cls, m.name, m.signature, m.impl));
                break;
            case Kind::Setter: {
                Ref current = lookup(module, ns, m.name);
                value = call_method(current, state_of(module).n.setter,
                                    make_function(module, ns, cls, m.name, m.signature, m.impl));
                break;
            }
            case Kind::Alias:
                value = lookup(module, ns, m.target);
                break;
            case Kind::Constant:
                value = integer(m.constant);
                break;
        }
        check_status(PyDict_SetItemString(ns, m.name, value));
    }
    Ref bases = check(PyTuple_New(0));
    Ref type = call(reinterpret_cast<PyObject*>(&PyType_Type), qualname, bases, ns);
    check_status(PyObject_SetAttrString(module, cls, type));
}

}  // namespace

void define_classes(PyObject* module) {
    define_class(module, "Parameter", kParameter);
    define_class(module, "SheetParameters", kSheetParameters);
    define_class(module, "BookParameters", kBookParameters);
}

}  // namespace tp
