// BookParameters: one workbook file and the tables of the sheets loaded from
// it; look-ups across the loaded sheets and limits.
#include "module/members.hpp"
#include "module/xl.hpp"
#include "sheet/names.hpp"

namespace tp {
namespace {

Ref loaded_sheets(const Call& c) { return getattr(c.self(), c.n().book_sheets); }

Ref loaded_names(const Call& c) { return call_method(c.self(), c.n().get_all_sheet_names); }

// The titles of `sheets`, from each table's own sheet_name(), in list order.
Ref titles_of(const Call& c, PyObject* sheets) {
    Ref iter = check(PyObject_GetIter(sheets));
    Ref names = check(PyList_New(0));
    while (Ref sheet = Ref::steal(PyIter_Next(iter))) check_status(PyList_Append(names, sheet::title_of(c, sheet)));
    if (PyErr_Occurred()) raise();
    return names;
}

// `names.index(item)`.
Ref first_position(const Call& c, PyObject* names, PyObject* item) {
    if (PyList_CheckExact(names)) {
        Py_ssize_t idx = index_of(names, item);
        if (idx >= 0) return check(PyLong_FromSsize_t(idx));
    }
    return call_method(names, c.n().index, item);
}

// The loaded table at the first position of `item` in `names`.
Ref element_at_first(const Call& c, PyObject* names, PyObject* item) {
    Ref idx = first_position(c, names, item);
    return check(PyObject_GetItem(loaded_sheets(c), idx));
}

// `if item in names: return <loaded table at names.index(item)>`, or an
// empty Ref. When `item` and every name are exact str, whose == runs no
// code, one scan gives both answers.
Ref element_if_listed(const Call& c, PyObject* names, PyObject* item) {
    if (PyList_CheckExact(names) && PyUnicode_CheckExact(item)) {
        Py_ssize_t i = 0;
        for (; i < PyList_GET_SIZE(names); ++i) {
            PyObject* el = PyList_GET_ITEM(names, i);
            if (!PyUnicode_CheckExact(el)) break;
            if (exact_str_equal(el, item)) {
                Ref idx = check(PyLong_FromSsize_t(i));
                return check(PyObject_GetItem(loaded_sheets(c), idx));
            }
        }
        if (i == PyList_GET_SIZE(names)) return Ref();
    }
    return contains(names, item) ? element_at_first(c, names, item) : Ref();
}

// `raise_exception` of the look-ups: True exactly when `default is None`.
PyObject* raise_when_no_default(PyObject* fallback) { return fallback == Py_None ? Py_True : Py_False; }

void check_str_or_none(PyObject* value, const char* argument) {
    if (value == Py_None || Py_TYPE(value) == &PyUnicode_Type) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument, "str",
                 Py_TYPE(value)->tp_name);
    raise();
}

Ref limit(const Call& c, PyObject* attribute) {
    PyObject* name = c[1];
    PyObject* fallback = c[2];
    PyObject* mode = c[3];
    Ref para = call_method(c.self(), c.n().get_parameter, name, raise_when_no_default(fallback));
    if (para.get() == Py_None) return Ref::borrow(fallback);
    Ref book_class = c.global(c.n().BookParameters);
    Ref relative = getattr(book_class, c.n().LIMIT_MODE_RELATIVE);
    if (eq(mode, relative)) {
        Ref value = getattr(para, c.n().value);
        Ref bound = getattr(para, attribute);
        return check(PyNumber_Add(value, bound));
    }
    return getattr(para, attribute);
}

}  // namespace

// __init__(self, bookname, support_eval=True)
Ref book_init(const Call& c) {
    Ref sheets = check(PyList_New(0));
    setattr(c.self(), c.n().book_sheets, sheets);
    setattr(c.self(), c.n().book_support_eval, c[2]);
    setattr(c.self(), c.n().bookname, c[1]);
    return none();
}

// get_all_sheet_names(self)
Ref book_get_all_sheet_names(const Call& c) { return titles_of(c, loaded_sheets(c)); }

// sheet_rename(self, old: 'unicode', new: 'unicode')
Ref book_sheet_rename(const Call& c) {
    PyObject* old_name = c[1];
    PyObject* new_name = c[2];
    check_str_or_none(old_name, "old");
    check_str_or_none(new_name, "new");
    Ref names = loaded_names(c);
    if (!contains(names, old_name)) raise_format(PyExc_ValueError, "No sheet named \"%s\".", old_name);
    if (contains(names, new_name)) raise_format(PyExc_ValueError, "Name \"%s\" already exists.", new_name);
    Ref sheet = call_method(c.self(), c.n().get_sheet_parameters, old_name);
    call_method(sheet, c.n().sheet_rename, new_name);
    return none();
}

// unload_sheet(self, sheetname)
Ref book_unload_sheet(const Call& c) {
    Ref names = loaded_names(c);
    if (contains(names, c[1])) call_method(loaded_sheets(c), c.n().pop, first_position(c, names, c[1]));
    return none();
}

// load_sheet(self, sheetname)
Ref book_load_sheet(const Call& c) {
    PyObject* sheetname = c[1];
    Ref names = loaded_names(c);
    Ref target;
    const bool reload = contains(names, sheetname);
    if (reload) {
        target = element_at_first(c, names, sheetname);
    } else {
        Ref sheet_class = c.global(c.n().SheetParameters);
        target = call(sheet_class, getattr(c.self(), c.n().book_support_eval));
    }
    Ref bookname = getattr(c.self(), c.n().bookname);
    Ref book = xl::open_read_only(c, bookname);
    try {
        call_method(target, c.n().load, book, sheetname);
    } catch (...) {
        xl::close_read_only_keeping_error(c, book, bookname);
        throw;
    }
    xl::close_read_only_after_load(c, book, bookname);
    if (!reload) call_method(loaded_sheets(c), c.n().append, target);
    return target;
}

// has_sheet(self, sheetname)
Ref book_has_sheet(const Call& c) { return boolean(contains(loaded_names(c), c[1])); }

// get_sheet_parameters(self, sheetname, raise_exception=True)
Ref book_get_sheet_parameters(const Call& c) {
    PyObject* sheetname = c[1];
    Ref names = titles_of(c, loaded_sheets(c));
    if (Ref sheet = element_if_listed(c, names, sheetname)) return sheet;
    if (truth(c[2])) raise_format(PyExc_ValueError, "Sheet \"%s\" not loaded.", sheetname);
    return none();
}

// get_parameter(self, name, raise_exception=True) -> Parameter
// The most recently loaded sheet that holds the name wins.
Ref book_get_parameter(const Call& c) {
    PyObject* name = c[1];
    Ref sheets = loaded_sheets(c);
    const Py_ssize_t count = PyObject_Length(sheets);
    if (count < 0) raise();
    for (Py_ssize_t i = count; i >= 1; --i) {
        Ref sheet = check(PySequence_GetItem(sheets, i - 1));
        if (truth(call_method(sheet, c.n().has_parameter, name))) return call_method(sheet, c.n().get_parameter, name);
    }
    if (truth(c[2])) raise_format(PyExc_ValueError, "No parameter named \"%s\".", name);
    return none();
}

// get_parameter_from_sheet(self, paraname, sheetname, raise_exception=True)
Ref book_get_parameter_from_sheet(const Call& c) {
    PyObject* sheetname = c[2];
    Ref names = loaded_names(c);
    if (Ref sheet = element_if_listed(c, names, sheetname)) return call_method(sheet, c.n().get_parameter, c[1], c[3]);
    if (truth(c[3])) raise_format(PyExc_ValueError, "Sheet \"%s\" not loaded.", sheetname);
    return none();
}

// has_parameter(self, name)
Ref book_has_parameter(const Call& c) {
    Ref iter = check(PyObject_GetIter(loaded_sheets(c)));
    while (Ref sheet = Ref::steal(PyIter_Next(iter)))
        if (truth(call_method(sheet, c.n().has_parameter, c[1]))) return boolean(true);
    if (PyErr_Occurred()) raise();
    return boolean(false);
}

// get_value(self, name, default=None)
Ref book_get_value(const Call& c) {
    Ref para = call_method(c.self(), c.n().get_parameter, c[1], raise_when_no_default(c[2]));
    if (para.get() == Py_None) return Ref::borrow(c[2]);
    return getattr(para, c.n().value);
}

// set_value(self, name, value)
Ref book_set_value(const Call& c) {
    Ref para = call_method(c.self(), c.n().get_parameter, c[1]);
    setattr(para, c.n().value, c[2]);
    return none();
}

// get_low(self, name, default=None, mode: 'int' = LIMIT_MODE_ABSOLUTE)
Ref book_get_low(const Call& c) { return limit(c, c.n().low); }

// get_up(self, name, default=None, mode: 'int' = LIMIT_MODE_ABSOLUTE)
Ref book_get_up(const Call& c) { return limit(c, c.n().up); }

}  // namespace tp
