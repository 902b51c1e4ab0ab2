// Registering a record in a table: the part of set_parameter that load repeats
// when it registers the rows it reads itself.
#pragma once

#include "module/function.hpp"

namespace tp::sheet {

// Names a record cannot be registered under: what the table's class (or a
// subclass) already answers, and the table's own state.
inline bool is_reserved(const Call& c, PyObject* name) {
    const Names& n = c.n();
    for (PyObject* state : {n.all_names.get(), n.sheet_name_attr.get(), n.sheet_support_eval.get()})
        if (eq(name, state)) return true;
    return bool(getattr_opt(reinterpret_cast<PyObject*>(Py_TYPE(c.self())), name));
}

// Reads the record's name, refuses a reserved one and makes the record the
// attribute of that name of the table (c.self()). Returns the name.
inline Ref assign_record(const Call& c, PyObject* record) {
    Ref name = getattr(record, c.n().name);
    if (PyUnicode_Check(name) && is_reserved(c, name))
        raise_format(PyExc_AttributeError,
                     "Parameter name \"%s\" is reserved: it is an attribute of the SheetParameters object.", name);
    setattr(c.self(), name, record);
    return name;
}

}  // namespace tp::sheet
