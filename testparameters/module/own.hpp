// Whether a look-up ends in the module's own code: the questions that let
// a fast path stand in for a call of one of the module's own functions.
#pragma once

#include "module/function.hpp"

namespace tp {

// Whether `fn` is the module's own function with the body `impl`.
inline bool is_own_function(const Call& c, PyObject* fn, Impl impl) {
    if (Py_TYPE(fn) != &FunctionType) return false;
    const FunctionData& d = reinterpret_cast<Function*>(fn)->d;
    return d.impl == impl && d.module.get() == c.fn.module.get();
}

// Whether `method` (a method of the table as looked up just now) is the
// module's own function with the body `impl`, bound to the table.
inline bool is_own_method(const Call& c, PyObject* method, Impl impl) {
    return PyMethod_Check(method) && PyMethod_GET_SELF(method) == c.self() &&
           is_own_function(c, PyMethod_GET_FUNCTION(method), impl);
}

// Whether every key of the dict `dict` is an exact str, whose hash and ==
// are the interpreter's own: a look-up in such a dict runs no other code.
inline bool str_keys_only(PyObject* dict) {
    if (!dict || !PyDict_CheckExact(dict)) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// What `name` finds in the namespaces along the MRO of `type` (borrowed, or
// null in `found`), asked only of namespaces whose keys are all exact str:
// false when one is not.
inline bool find_in_mro(PyTypeObject* type, PyObject* name, PyObject*& found) {
    found = nullptr;
    const Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) return false;
        Ref dict = Ref::steal(compat::type_dict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            if (PyErr_Occurred()) raise();
            return false;
        }
        if (!str_keys_only(dict)) return false;
        if (!found) {
            found = PyDict_GetItemWithError(dict, name);
            if (!found && PyErr_Occurred()) raise();
        }
    }
    return true;
}

// Whether the attribute protocol of objects of `type` is the interpreter's
// generic one, and `type` is a plain class (its metaclass is `type`).
inline bool generic_attributes(PyTypeObject* type) {
    return Py_TYPE(type) == &PyType_Type && type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr;
}

}  // namespace tp
