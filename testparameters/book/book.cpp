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
// An exact list is walked as its iterator walks it: by position, up to its
// size at each step (a sheet_name() may change the list).
Ref titles_of(const Call& c, PyObject* sheets) {
    Ref names = check(PyList_New(0));
    if (PyList_CheckExact(sheets)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sheets); ++i) {
            Ref sheet = Ref::borrow(PyList_GET_ITEM(sheets, i));
            check_status(PyList_Append(names, sheet::title_of(c, sheet)));
        }
        return names;
    }
    Ref iter = check(PyObject_GetIter(sheets));
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

TP_ARGUMENTS(SelfArgs, self);
TP_ARGUMENTS(InitArgs, self, bookname, support_eval);
TP_ARGUMENTS(RenameArgs, self, old, new_);
TP_ARGUMENTS(SheetArgs, self, sheetname);
TP_ARGUMENTS(SheetOrNoneArgs, self, sheetname, raise_exception);
TP_ARGUMENTS(ParameterArgs, self, name, raise_exception);
TP_ARGUMENTS(FromSheetArgs, self, paraname, sheetname, raise_exception);
TP_ARGUMENTS(NameArgs, self, name);
TP_ARGUMENTS(ValueArgs, self, name, default_);
TP_ARGUMENTS(SetValueArgs, self, name, value);
TP_ARGUMENTS(LimitArgs, self, name, default_, mode);

// get_low and get_up: the record's `attribute`, relative to its value in
// BookParameters.LIMIT_MODE_RELATIVE (as the class binds it now).
Ref limit(const Call& c, const LimitArgs& a, PyObject* attribute) {
    Ref para = call_method(a.self, c.n().get_parameter, a.name, raise_when_no_default(a.default_));
    if (para.get() == Py_None) return Ref::borrow(a.default_);
    Ref book_class = c.global(c.n().BookParameters);
    Ref relative = getattr(book_class, c.n().LIMIT_MODE_RELATIVE);
    if (eq(a.mode, relative)) {
        Ref value = getattr(para, c.n().value);
        Ref bound = getattr(para, attribute);
        return check(PyNumber_Add(value, bound));
    }
    return getattr(para, attribute);
}

Ref init(const Call& c, const InitArgs& a) {
    Ref sheets = check(PyList_New(0));
    setattr(a.self, c.n().book_sheets, sheets);
    setattr(a.self, c.n().book_support_eval, a.support_eval);
    setattr(a.self, c.n().bookname, a.bookname);
    return none();
}

Ref get_all_sheet_names(const Call& c, const SelfArgs&) { return titles_of(c, loaded_sheets(c)); }

Ref sheet_rename(const Call& c, const RenameArgs& a) {
    check_str_or_none(a.old, "old");
    check_str_or_none(a.new_, "new");
    Ref names = loaded_names(c);
    if (!contains(names, a.old)) raise_format(PyExc_ValueError, "No sheet named \"%s\".", a.old);
    if (contains(names, a.new_)) raise_format(PyExc_ValueError, "Name \"%s\" already exists.", a.new_);
    Ref sheet = call_method(a.self, c.n().get_sheet_parameters, a.old);
    call_method(sheet, c.n().sheet_rename, a.new_);
    return none();
}

Ref unload_sheet(const Call& c, const SheetArgs& a) {
    Ref names = loaded_names(c);
    if (contains(names, a.sheetname))
        call_method(loaded_sheets(c), c.n().pop, first_position(c, names, a.sheetname));
    return none();
}

Ref load_sheet(const Call& c, const SheetArgs& a) {
    PyObject* sheetname = a.sheetname;
    Ref names = loaded_names(c);
    Ref target;
    const bool reload = contains(names, sheetname);
    if (reload) {
        target = element_at_first(c, names, sheetname);
    } else {
        Ref sheet_class = c.global(c.n().SheetParameters);
        target = call(sheet_class, getattr(a.self, c.n().book_support_eval));
    }
    Ref bookname = getattr(a.self, c.n().bookname);
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

Ref has_sheet(const Call& c, const SheetArgs& a) { return boolean(contains(loaded_names(c), a.sheetname)); }

Ref get_sheet_parameters(const Call& c, const SheetOrNoneArgs& a) {
    Ref names = titles_of(c, loaded_sheets(c));
    if (Ref sheet = element_if_listed(c, names, a.sheetname)) return sheet;
    if (truth(a.raise_exception)) raise_format(PyExc_ValueError, "Sheet \"%s\" not loaded.", a.sheetname);
    return none();
}

// The most recently loaded sheet that holds the name wins.
Ref get_parameter(const Call& c, const ParameterArgs& a) {
    Ref sheets = loaded_sheets(c);
    const Py_ssize_t count = PyObject_Length(sheets);
    if (count < 0) raise();
    for (Py_ssize_t i = count; i >= 1; --i) {
        Ref sheet = check(PySequence_GetItem(sheets, i - 1));
        if (truth(call_method(sheet, c.n().has_parameter, a.name)))
            return call_method(sheet, c.n().get_parameter, a.name);
    }
    if (truth(a.raise_exception)) raise_format(PyExc_ValueError, "No parameter named \"%s\".", a.name);
    return none();
}

Ref get_parameter_from_sheet(const Call& c, const FromSheetArgs& a) {
    Ref names = loaded_names(c);
    if (Ref sheet = element_if_listed(c, names, a.sheetname))
        return call_method(sheet, c.n().get_parameter, a.paraname, a.raise_exception);
    if (truth(a.raise_exception)) raise_format(PyExc_ValueError, "Sheet \"%s\" not loaded.", a.sheetname);
    return none();
}

Ref has_parameter(const Call& c, const NameArgs& a) {
    Ref iter = check(PyObject_GetIter(loaded_sheets(c)));
    while (Ref sheet = Ref::steal(PyIter_Next(iter)))
        if (truth(call_method(sheet, c.n().has_parameter, a.name))) return boolean(true);
    if (PyErr_Occurred()) raise();
    return boolean(false);
}

Ref get_value(const Call& c, const ValueArgs& a) {
    Ref para = call_method(a.self, c.n().get_parameter, a.name, raise_when_no_default(a.default_));
    if (para.get() == Py_None) return Ref::borrow(a.default_);
    return getattr(para, c.n().value);
}

Ref set_value(const Call& c, const SetValueArgs& a) {
    Ref para = call_method(a.self, c.n().get_parameter, a.name);
    setattr(para, c.n().value, a.value);
    return none();
}

Ref get_low(const Call& c, const LimitArgs& a) { return limit(c, a, c.n().low); }
Ref get_up(const Call& c, const LimitArgs& a) { return limit(c, a, c.n().up); }

}  // namespace

const Member kBookLimitModeAbsolute = constant("LIMIT_MODE_ABSOLUTE", 0);
const Member kBookLimitModeRelative = constant("LIMIT_MODE_RELATIVE", 1);
const Member kBookInit = method<InitArgs, init>("__init__", "(self, bookname, support_eval=True)");
const Member kBookGetAllSheetNames = method<SelfArgs, get_all_sheet_names>("get_all_sheet_names", "(self)");
const Member kBookSheetRename =
    method<RenameArgs, sheet_rename>("sheet_rename", "(self, old: 'unicode', new: 'unicode')");
const Member kBookUnloadSheet = method<SheetArgs, unload_sheet>("unload_sheet", "(self, sheetname)");
const Member kBookLoadSheet = method<SheetArgs, load_sheet>("load_sheet", "(self, sheetname)");
const Member kBookHasSheet = method<SheetArgs, has_sheet>("has_sheet", "(self, sheetname)");
const Member kBookGetSheetParameters = method<SheetOrNoneArgs, get_sheet_parameters>(
    "get_sheet_parameters", "(self, sheetname, raise_exception=True)");
const Member kBookGetParameter =
    method<ParameterArgs, get_parameter>("get_parameter", "(self, name, raise_exception=True) -> Parameter");
const Member kBookGetParameterFromSheet = method<FromSheetArgs, get_parameter_from_sheet>(
    "get_parameter_from_sheet", "(self, paraname, sheetname, raise_exception=True)");
const Member kBookHasParameter = method<NameArgs, has_parameter>("has_parameter", "(self, name)");
const Member kBookGetValue = method<ValueArgs, get_value>("get_value", "(self, name, default=None)");
const Member kBookGet = alias("get", "get_value");
const Member kBookSetValue = method<SetValueArgs, set_value>("set_value", "(self, name, value)");
const Member kBookSet = alias("set", "set_value");
const Member kBookGetLow =
    method<LimitArgs, get_low>("get_low", "(self, name, default=None, mode: 'int' = LIMIT_MODE_ABSOLUTE)");
const Member kBookGetUp =
    method<LimitArgs, get_up>("get_up", "(self, name, default=None, mode: 'int' = LIMIT_MODE_ABSOLUTE)");

}  // namespace tp
