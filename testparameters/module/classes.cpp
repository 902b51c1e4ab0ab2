// The three classes: their namespaces, filled in definition order, and their
// creation through `type(name, (), namespace)`.
#include "module/classes.hpp"

#include "module/members.hpp"

namespace tp {
namespace {

// The members of each class in the order its namespace binds them; each row
// is defined next to its body.
const Member* const kParameter[] = {&kParameterInit};

const Member* const kSheetParameters[] = {
    &kSheetInit,          &kSheetName,          &kSheetRename,           &kSheetNameGet,          &kSheetNameSet,
    &kSheetParameterNames, &kSheetLoad,         &kSheetSetParameter,     &kSheetGetParameter,     &kSheetPrefixCount,
    &kSheetPrefixNames,   &kSheetPrefixParameters, &kSheetPostfixCount,  &kSheetPostfixNames,     &kSheetPostfixParameters,
    &kSheetHasParameter,  &kSheetGetValue,      &kSheetGet,              &kSheetSetValue,         &kSheetSet,
    &kSheetParseValue,    &kSheetSave,
};

const Member* const kBookParameters[] = {
    &kBookLimitModeAbsolute, &kBookLimitModeRelative, &kBookInit,           &kBookGetAllSheetNames,
    &kBookSheetRename,       &kBookUnloadSheet,       &kBookLoadSheet,      &kBookHasSheet,
    &kBookGetSheetParameters, &kBookGetParameter,     &kBookGetParameterFromSheet, &kBookHasParameter,
    &kBookGetValue,          &kBookGet,               &kBookSetValue,       &kBookSet,
    &kBookGetLow,            &kBookGetUp,             &kBookSave,           &kBookSaveAs,
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
void define_class(PyObject* module, const char* cls, const Member* const (&members)[N]) {
    const Names& n = state_of(module).n;
    Ref ns = check(PyDict_New());
    Ref qualname = text(cls);
    check_status(PyDict_SetItem(ns, n.dunder_module, n.module_name));
    check_status(PyDict_SetItem(ns, n.dunder_qualname, qualname));
    for (const Member* row : members) {
        const Member& m = *row;
        Ref value;
        switch (m.kind) {
            case Kind::Method:
                value = make_function(module, ns, cls, m.name, m.signature, m.impl, m.parameters, m.nparameters);
                break;
            case Kind::Getter:
                value = call(reinterpret_cast<PyObject*>(&PyProperty_Type),
                             make_function(module, ns, cls, m.name, m.signature, m.impl, m.parameters, m.nparameters));
                break;
            case Kind::Setter: {
                Ref current = lookup(module, ns, m.name);
                value = call_method(current, state_of(module).n.setter,
                                    make_function(module, ns, cls, m.name, m.signature, m.impl, m.parameters, m.nparameters));
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
