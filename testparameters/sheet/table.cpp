// SheetParameters: the table of one worksheet's parameters, registered under
// their names as attributes of the table and listed in `_all_names`.
#include "module/members.hpp"
#include "sheet/names.hpp"
#include "sheet/register.hpp"

namespace tp {
namespace {

// Whether the interpreter runs with assertions enabled (not -O), asked at call time.
bool assertions_enabled(const Names& n) {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) return true;
    return !truth(getattr(flags, n.optimize));
}

}  // namespace

// __init__(self, support_eval=True)
Ref sheet_init(const Call& c) {
    const Names& n = c.n();
    Ref names = check(PyList_New(0));
    setattr(c.self(), n.all_names, names);
    setattr(c.self(), n.sheet_support_eval, c[1]);
    setattr(c.self(), n.sheet_name_attr, Py_None);
    return none();
}

// sheet_name(self)
Ref sheet_name(const Call& c) { return getattr(c.self(), c.n().sheet_name_attr); }

// sheet_rename(self, new)
Ref sheet_rename(const Call& c) {
    PyObject* new_name = c[1];
    if (assertions_enabled(c.n())) {
        if (!isinstance(new_name, reinterpret_cast<PyObject*>(&PyUnicode_Type)) || eq(new_name, c.n().empty)) {
            PyErr_SetNone(PyExc_AssertionError);
            raise();
        }
    }
    setattr(c.self(), c.n().sheet_name_attr, new_name);
    return none();
}

// name (property getter)
Ref sheet_name_get(const Call& c) { return getattr(c.self(), c.n().sheet_name_attr); }

// name (property setter): goes through the table's own sheet_rename
Ref sheet_name_set(const Call& c) {
    call_method(c.self(), c.n().sheet_rename, c[1]);
    return none();
}

// parameter_names (read-only property): a copy of the name list
Ref sheet_parameter_names(const Call& c) {
    Ref names = getattr(c.self(), c.n().all_names);
    return check(PySequence_List(names));
}

// set_parameter(self, *args, **kwargs)
Ref sheet_set_parameter(const Call& c) {
    const Names& n = c.n();
    PyObject* self = c.self();
    PyObject* args = c[1];
    PyObject* kwargs = c[2];
    Ref record;
    Ref parameter_class = c.global(n.Parameter);
    if (PyTuple_GET_SIZE(args) > 0 && isinstance(PyTuple_GET_ITEM(args, 0), parameter_class)) {
        record = Ref::borrow(PyTuple_GET_ITEM(args, 0));
    } else {
        record = check(PyObject_Call(parameter_class, args, PyDict_Size(kwargs) ? kwargs : nullptr));
    }
    Ref name = sheet::assign_record(c, record);
    Ref names = getattr(self, n.all_names);
    sheet::add_name(c, names, name);
    return none();
}

// get_parameter(self, name, raise_exception=True) -> Parameter
Ref sheet_get_parameter(const Call& c) {
    if (!truth(call_method(c.self(), c.n().has_parameter, c[1]))) {
        if (truth(c[2])) raise(PyExc_ValueError, "Unknown parameter name.");
        return none();
    }
    return getattr(c.self(), c[1]);
}

// has_parameter(self, name)
Ref sheet_has_parameter(const Call& c) {
    Ref names = getattr(c.self(), c.n().all_names);
    return boolean(sheet::has_name(c, names, c[1]));
}

// get_value(self, name, default=None)
Ref sheet_get_value(const Call& c) {
    PyObject* name = c[1];
    PyObject* fallback = c[2];
    Ref names = getattr(c.self(), c.n().all_names);
    if (!sheet::has_name(c, names, name)) return Ref::borrow(fallback);
    Ref value = getattr(getattr(c.self(), name), c.n().value);
    if (value.get() == Py_None && fallback != Py_None) return Ref::borrow(fallback);
    return value;
}

// set_value(self, name, value)
Ref sheet_set_value(const Call& c) {
    Ref record = call_method(c.self(), c.n().get_parameter, c[1]);
    setattr(record, c.n().value, c[2]);
    return none();
}

}  // namespace tp
