// Registering a record in a table: the part of set_parameter that load repeats
// when it registers the rows it reads itself.
#pragma once

#include "module/function.hpp"

namespace tp::sheet {

// Whether a class in the MRO of `type` has `name` in its namespace, which is
// what the type's own attribute search finds. Asked of the namespaces
// directly: the interpreter's look-up cache would only be churned by
// thousands of distinct parameter names. -1 when the MRO is not at hand.
// A key's __eq__ run by a dict look-up may give the class new bases, which
// replaces (and frees) its MRO tuple: the walk holds the tuple it started
// with, as the interpreter's own look-up does, and goes on along it.
inline int defined_in_mro(PyTypeObject* type, PyObject* name) {
    const Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) return -1;
        Ref dict = Ref::steal(compat::type_dict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            if (PyErr_Occurred()) raise();
            return -1;
        }
        if (PyDict_GetItemWithError(dict, name)) return 1;
        if (PyErr_Occurred()) raise();
    }
    return 0;
}

// Names a record cannot be registered under: what the table's class (or a
// subclass) already answers, and the table's own state.
inline bool is_reserved(const Call& c, PyObject* name) {
    const Names& n = c.n();
    for (PyObject* state : {n.all_names.get(), n.sheet_name_attr.get(), n.sheet_support_eval.get()})
        if (eq(name, state)) return true;
    PyTypeObject* cls = Py_TYPE(c.self());
    PyTypeObject* meta = Py_TYPE(cls);
    // A name that neither the class nor its metaclass defines is not an
    // attribute of the class: the usual case, answered without raising and
    // clearing an AttributeError. Anything else (a name found, a metaclass
    // with its own attribute look-up) asks the class itself.
    if (meta->tp_getattro == PyType_Type.tp_getattro && PyUnicode_CheckExact(name) &&
        defined_in_mro(cls, name) == 0 && defined_in_mro(meta, name) == 0)
        return false;
    return bool(getattr_opt(reinterpret_cast<PyObject*>(cls), name));
}

// Reads the record's name and refuses a reserved one. Returns the name.
inline Ref record_name(const Call& c, PyObject* record) {
    Ref name = getattr(record, c.n().name);
    if (PyUnicode_Check(name) && is_reserved(c, name))
        raise_format(PyExc_AttributeError,
                     "Parameter name \"%s\" is reserved: it is an attribute of the SheetParameters object.", name);
    return name;
}

// Reads the record's name, refuses a reserved one and makes the record the
// attribute of that name of the table (c.self()). Returns the name.
inline Ref assign_record(const Call& c, PyObject* record) {
    Ref name = record_name(c, record);
    setattr(c.self(), name, record);
    return name;
}

}  // namespace tp::sheet
