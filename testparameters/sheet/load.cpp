// SheetParameters.load: the parameter rows of one worksheet registered in the
// table, one record per row with a name.
#include "module/members.hpp"
#include "module/own.hpp"
#include "module/xl.hpp"
#include "sheet/load_record.hpp"
#include "sheet/locate.hpp"
#include "sheet/register.hpp"
#include "sheet/strops.hpp"

#include <climits>

namespace tp {
namespace {

// The rule that ends the table: a run of consecutive empty rows longer than
// max_empty_row, compared with the host's `>`.
class EmptyRun {
public:
    explicit EmptyRun(PyObject* max_empty_row) : max_(max_empty_row) {
        if (!PyLong_CheckExact(max_empty_row)) return;
        int overflow = 0;
        long long limit = PyLong_AsLongLongAndOverflow(max_empty_row, &overflow);
        if (limit == -1 && PyErr_Occurred()) raise();
        exact_ = true;
        limit_ = overflow > 0 ? LLONG_MAX : overflow < 0 ? -1 : limit;
    }

    void reset() { run_ = 0; }

    // One more empty row; true when it ends the table.
    bool add() {
        ++run_;
        if (exact_) return run_ > limit_;
        Ref run = check(PyLong_FromLongLong(run_));
        return truth(check(PyObject_RichCompare(run, max_, Py_GT)));
    }

private:
    PyObject* max_;
    bool exact_ = false;
    long long limit_ = 0;
    long long run_ = 0;
};

// Whether making `parameter_class(...)` and reading and setting the record's
// attributes runs the module's own code and nothing else: the class is the
// module's Parameter as it was made, or one just like it.
bool plain_parameter_class(const Call& c, PyObject* parameter_class) {
    if (!PyType_Check(parameter_class)) return false;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(parameter_class);
    if (!generic_attributes(type) || type->tp_new != PyBaseObject_Type.tp_new || type->tp_finalize || type->tp_del)
        return false;
    const Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get()) || PyTuple_GET_SIZE(mro.get()) != 2 ||
        PyTuple_GET_ITEM(mro.get(), 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type))
        return false;
    const Names& n = c.n();
    PyObject* init = nullptr;
    if (!find_in_mro(type, n.init, init) || !init || !is_own_function(c, init, kParameterInit.impl)) return false;
    for (PyObject* attribute : {n.name.get(), n.desc.get(), n.value.get(), n.low.get(), n.up.get(), n.unit.get(),
                                n.type.get()}) {
        PyObject* found = nullptr;
        if (!find_in_mro(type, attribute, found) || found) return false;
    }
    return true;
}

// Whether registering a record in the table (c.self()) the way register_row
// does runs no code but the module's and the interpreter's: the table's
// class and the Parameter class keep to the generic attribute protocol,
// _parse_value and set_parameter are the module's own functions, and no
// namespace that a look-up on the way asks holds a key whose == is code of
// the caller's. Once true it stays so until code of the caller's runs.
bool closed_registration(const Call& c, PyObject* parameter_class) {
    const Names& n = c.n();
    PyObject* self = c.self();
    PyTypeObject* type = Py_TYPE(self);
    if (!generic_attributes(type)) return false;
    for (PyObject* state : {n.all_names.get(), n.sheet_support_eval.get()}) {
        PyObject* found = nullptr;
        if (!find_in_mro(type, state, found) || found) return false;
    }
    const std::pair<PyObject*, Impl> methods[] = {{n.parse_value, kSheetParseValue.impl},
                                                  {n.set_parameter, kSheetSetParameter.impl}};
    for (const auto& [method, impl] : methods) {
        PyObject* found = nullptr;
        if (!find_in_mro(type, method, found) || !found || !is_own_function(c, found, impl)) return false;
    }
    Ref dict = check(PyObject_GenericGetDict(self, nullptr));
    return str_keys_only(dict) && str_keys_only(PyModule_GetDict(c.fn.module)) &&
           plain_parameter_class(c, parameter_class);
}

// The table's names with their first positions, so that registering a row
// does not scan `_all_names`. Asking it gives what the list's own `in` gives:
//  * a name it knows is checked at its position in the list, which proves
//    that the list holds it, while nothing can have changed the list or it
//    still holds the objects of the copy;
//  * for a name it does not know it answers for the list only while nothing
//    can have changed the list since it last matched it: no code of the
//    caller's can have run (see distrust()). Otherwise the list is first
//    compared with the copy kept of it, element by element, and the index is
//    made anew when they differ.
// It holds exact str names only; a list with anything else, or no list, is
// scanned, as set_parameter does.
class NameIndex {
public:
    // Code of the caller's may have run, or may run before the next question.
    void distrust() { trusted_ = false; }
    // The Parameter class that the last proof of a closed registration was
    // made for: a row that makes its record with another one is not closed.
    PyObject* proven_class() const { return proven_class_.get(); }

    // Whether `name` is in `names`, the table's name list as read just now.
    bool contains(const Call& c, PyObject* names, PyObject* name, PyObject* parameter_class) {
        if (!PyUnicode_CheckExact(name) || !PyList_CheckExact(names)) {
            drop();
            return tp::contains(names, name);
        }
        // A name found at its position answers for the list only while the
        // names before it are still the exact str ones of the copy: `in`
        // compares with each of them first, and one with its own == runs code.
        if (names == list_.get() && positions_ && (trusted_ || same_as_copy(names)) && at_position(names, name))
            return true;
        if (trusted_ && names == list_.get() && PyList_GET_SIZE(names) == PyList_GET_SIZE(copy_.get()))
            return false;
        if (!(names == list_.get() && positions_ && same_as_copy(names)) && !rebuild(names)) {
            drop();
            return tp::contains(names, name);
        }
        trusted_ = closed_registration(c, parameter_class);
        proven_class_ = Ref::borrow(parameter_class);
        return at_position(names, name);
    }

    // `name` has just been appended to `names`, which did not hold it.
    void appended(PyObject* names, PyObject* name) {
        if (!positions_ || names != list_.get() || !PyUnicode_CheckExact(name)) return;
        const Py_ssize_t size = PyList_GET_SIZE(names);
        if (size != PyList_GET_SIZE(copy_.get()) + 1 || PyList_GET_ITEM(names, size - 1) != name) {
            drop();
            return;
        }
        Ref position = check(PyLong_FromSsize_t(size - 1));
        check_status(PyDict_SetItem(positions_, name, position));
        check_status(PyList_Append(copy_, name));
    }

private:
    // Whether the index knows `name` and the list holds it at that position.
    bool at_position(PyObject* names, PyObject* name) {
        PyObject* position = PyDict_GetItemWithError(positions_, name);
        if (!position) {
            if (PyErr_Occurred()) raise();
            return false;
        }
        const Py_ssize_t p = PyLong_AsSsize_t(position);
        if (p == -1 && PyErr_Occurred()) raise();
        if (p >= PyList_GET_SIZE(names)) return false;
        PyObject* el = PyList_GET_ITEM(names, p);
        return el == name || (PyUnicode_CheckExact(el) && exact_str_equal(el, name));
    }

    // Whether `names` holds the very objects of the copy, in its order. The
    // copy holds them, so none of them can have been freed and its address
    // taken by another object.
    bool same_as_copy(PyObject* names) const {
        const Py_ssize_t size = PyList_GET_SIZE(names);
        if (size != PyList_GET_SIZE(copy_.get())) return false;
        for (Py_ssize_t i = 0; i < size; ++i)
            if (PyList_GET_ITEM(names, i) != PyList_GET_ITEM(copy_.get(), i)) return false;
        return true;
    }

    bool rebuild(PyObject* names) {
        drop();
        const Py_ssize_t size = PyList_GET_SIZE(names);
        Ref copy = check(PyList_GetSlice(names, 0, size));
        Ref positions = check(PyDict_New());
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* el = PyList_GET_ITEM(copy.get(), i);
            if (!PyUnicode_CheckExact(el)) return false;
            Ref position = check(PyLong_FromSsize_t(i));
            if (!PyDict_SetDefault(positions, el, position)) raise();
        }
        list_ = Ref::borrow(names);
        copy_ = std::move(copy);
        positions_ = std::move(positions);
        return true;
    }

    void drop() {
        trusted_ = false;
        positions_.reset();
        copy_.reset();
        list_.reset();
    }

    Ref list_;       // held, so that its identity cannot be taken by another list
    Ref copy_;       // the list's elements when the index last matched it
    Ref positions_;  // dict: name -> first position
    Ref proven_class_;
    bool trusted_ = false;
};

// Whether giving the table's attribute `name` a new value may run code of
// the caller's: an old value that only the table holds is freed, and freeing
// it may run its finalizer or a weak reference's callback.
bool replacing_may_run_code(PyObject* self, PyObject* name) {
    Ref dict = check(PyObject_GenericGetDict(self, nullptr));
    if (!PyDict_CheckExact(dict.get())) return true;
    PyObject* old = PyDict_GetItemWithError(dict, name);
    if (!old) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    return Py_REFCNT(old) == 1 && !strops::plain(old);
}

// self.set_parameter(para). When that is the module's own method, its steps
// are done here, with the index standing in for the scan of `_all_names`.
void register_row(const Call& c, PyObject* para, NameIndex& index) {
    const Names& n = c.n();
    PyObject* self = c.self();
    Ref method = getattr(self, n.set_parameter);
    if (!is_own_method(c, method, kSheetSetParameter.impl)) {
        index.distrust();
        call(method, para);
        return;
    }
    Ref parameter_class = c.global(n.Parameter);
    if (parameter_class.get() != index.proven_class()) index.distrust();
    Ref record;
    if (isinstance(para, parameter_class)) {
        record = Ref::borrow(para);
    } else {
        index.distrust();
        record = call(parameter_class, para);
    }
    if (Py_TYPE(record.get()) != reinterpret_cast<PyTypeObject*>(parameter_class.get())) index.distrust();
    Ref name = sheet::record_name(c, record);
    if (!PyUnicode_CheckExact(name.get()) || replacing_may_run_code(self, name)) index.distrust();
    setattr(self, name, record);
    Ref names = getattr(self, n.all_names);
    if (index.contains(c, names, name, parameter_class)) return;
    if (PyList_CheckExact(names))
        check_status(PyList_Append(names, name));
    else
        call_method(names, n.append, name);
    index.appended(names, name);
}

// self._parse_value(content, type). `closed` turns false when the method
// found is not the module's own or its call ran code of the caller's.
Ref parse(const Call& c, PyObject* content, PyObject* type, bool& closed) {
    Ref method = getattr(c.self(), c.n().parse_value);
    const unsigned long before = c.st.calls_out;
    if (!is_own_method(c, method, kSheetParseValue.impl)) closed = false;
    Ref result = call(method, content, type);
    if (c.st.calls_out != before) closed = false;
    return result;
}

TP_ARGUMENTS(LoadArgs, self, book, sheetname, max_empty_row);

Ref load(const Call& c, const LoadArgs& a) {
    const Names& n = c.n();
    PyObject* self = a.self;
    PyObject* book = a.book;
    Ref sheetname = Ref::borrow(a.sheetname);

    Ref bound = getattr(self, n.sheet_name_attr);
    if (bound.get() != Py_None) {
        if (sheetname.get() == Py_None)
            sheetname = std::move(bound);
        else if (truth(check(PyObject_RichCompare(sheetname, bound, Py_NE))))
            raise(PyExc_ValueError, "Only one sheet parameters could be loaded into one SheetParameters object");
    } else {
        if (sheetname.get() == Py_None) raise(PyExc_ValueError, "sheetname must be a valid string");
        setattr(self, n.sheet_name_attr, sheetname);
    }
    if (!xl::has_sheet(c, book, sheetname)) raise_format(PyExc_ValueError, "Sheet \"%s\" *NOT* FOUND.", sheetname);
    Ref sheet = xl::sheet(c, book, sheetname);
    if (xl::is_chart_sheet(c, sheet))
        raise_format(PyExc_ValueError, "Sheet \"%s\" is a chart sheet: it holds no cells to load.", sheetname);

    xl::Rows rows(c, sheet);
    EmptyRun empty(a.max_empty_row);
    NameIndex index;
    sheet::LoadRecorder record(c, sheetname, a.max_empty_row);  // dropped unless installed
    while (rows.next()) {
        // Whether the row runs no code but the module's, the interpreter's
        // and the library's, so that the name index can still be trusted.
        bool closed = rows.from_library();
        Ref name = rows.value(6);
        closed = closed && strops::plain(name);
        if (name.get() == Py_None || strops::equals(strops::str_stripped(n, name), "")) {
            if (!closed) index.distrust();
            if (empty.add()) break;
            continue;
        }
        empty.reset();
        Ref desc = rows.value(1);
        Ref value = rows.value(2);
        Ref low = rows.value(3);
        Ref up = rows.value(4);
        Ref unit = rows.value(5);
        Ref type = rows.value(7);
        Ref raw_value = std::move(value), raw_low = std::move(low), raw_up = std::move(up);
        for (PyObject* cell : {desc.get(), raw_value.get(), raw_low.get(), raw_up.get(), unit.get(), type.get()})
            closed = closed && strops::plain(cell);
        // An error while a cell is converted, or while the row is registered
        // under its name, says where it happened.
        const Py_ssize_t at = rows.row();
        value = sheet::located(n, sheetname, at, 2, name, [&] { return parse(c, raw_value, type, closed); });
        low = sheet::located(n, sheetname, at, 3, name, [&] { return parse(c, raw_low, type, closed); });
        up = sheet::located(n, sheetname, at, 4, name, [&] { return parse(c, raw_up, type, closed); });
        Ref parameter_class = c.global(n.Parameter);
        if (parameter_class.get() != index.proven_class()) closed = false;
        Ref para = call(parameter_class, name, desc, value, low, up, unit, type);
        if (!closed) index.distrust();
        sheet::located(n, sheetname, at, 6, name, [&] { register_row(c, para, index); });
        record.add(at, name, {desc, value, low, up, unit, name, type}, {raw_value, raw_low, raw_up});
    }
    record.install();
    return none();
}

}  // namespace

const Member kSheetLoad = method<LoadArgs, load>("load", "(self, book, sheetname, max_empty_row=0)");

}  // namespace tp
