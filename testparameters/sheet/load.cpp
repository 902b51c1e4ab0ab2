// SheetParameters.load: the parameter rows of one worksheet registered in the
// table, one record per row with a name.
#include "module/members.hpp"
#include "module/xl.hpp"
#include "sheet/load_record.hpp"
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

// The table's names as a set, so that registering a row does not scan
// `_all_names`. It answers for the list only while that is the same list
// object with the length the index last saw, holding exact str objects only;
// in every other case the list itself is scanned, as set_parameter does.
class NameIndex {
public:
    // Whether `name` is in `names`, the table's name list as read just now.
    bool contains(PyObject* names, PyObject* name) {
        if (!PyUnicode_CheckExact(name) || !usable(names)) return tp::contains(names, name);
        return check_status(PySet_Contains(set_, name)) != 0;
    }

    // `name` has just been appended to `names`.
    void appended(PyObject* names, PyObject* name) {
        if (!set_ || names != list_.get() || !PyUnicode_CheckExact(name)) return;
        if (PyList_GET_SIZE(names) != length_ + 1 || PyList_GET_ITEM(names, length_) != name) return;
        check_status(PySet_Add(set_, name));
        ++length_;
    }

private:
    bool usable(PyObject* names) {
        if (!PyList_CheckExact(names)) return false;
        const Py_ssize_t size = PyList_GET_SIZE(names);
        if (names == list_.get() && size == length_) return bool(set_);
        list_ = Ref::borrow(names);
        length_ = size;
        set_.reset();
        Ref set = check(PySet_New(nullptr));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* el = PyList_GET_ITEM(names, i);
            if (!PyUnicode_CheckExact(el)) return false;
            check_status(PySet_Add(set, el));
        }
        set_ = std::move(set);
        return true;
    }

    Ref list_;  // held, so that its identity cannot be taken by another list
    Py_ssize_t length_ = -1;
    Ref set_;
};

// Whether `method` (the table's set_parameter as looked up just now) is the
// module's own set_parameter bound to the table, so that calling it would run
// exactly what register_row does.
bool is_own_set_parameter(const Call& c, PyObject* method) {
    if (!PyMethod_Check(method) || PyMethod_GET_SELF(method) != c.self()) return false;
    PyObject* fn = PyMethod_GET_FUNCTION(method);
    if (Py_TYPE(fn) != &FunctionType) return false;
    const FunctionData& d = reinterpret_cast<Function*>(fn)->d;
    return d.impl == sheet_set_parameter && d.module.get() == c.fn.module.get();
}

// self.set_parameter(para). When that is the module's own method, its steps
// are done here, with the index standing in for the scan of `_all_names`.
void register_row(const Call& c, PyObject* para, NameIndex& index) {
    const Names& n = c.n();
    PyObject* self = c.self();
    Ref method = getattr(self, n.set_parameter);
    if (!is_own_set_parameter(c, method)) {
        call(method, para);
        return;
    }
    Ref parameter_class = c.global(n.Parameter);
    Ref record = isinstance(para, parameter_class) ? Ref::borrow(para) : call(parameter_class, para);
    Ref name = sheet::assign_record(c, record);
    Ref names = getattr(self, n.all_names);
    if (index.contains(names, name)) return;
    if (PyList_CheckExact(names))
        check_status(PyList_Append(names, name));
    else
        call_method(names, n.append, name);
    index.appended(names, name);
}

}  // namespace

// load(self, book, sheetname, max_empty_row=0)
Ref sheet_load(const Call& c) {
    const Names& n = c.n();
    PyObject* self = c.self();
    PyObject* book = c[1];
    Ref sheetname = Ref::borrow(c[2]);

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

    xl::Rows rows(c, sheet);
    EmptyRun empty(c[3]);
    NameIndex index;
    sheet::LoadRecorder record(c, sheetname, c[3]);  // dropped unless installed
    for (Py_ssize_t row = 2; rows.next(); ++row) {
        Ref name = rows.value(6);
        if (name.get() == Py_None || strops::equals(strops::str_stripped(n, name), "")) {
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
        value = call_method(self, n.parse_value, raw_value, type);
        low = call_method(self, n.parse_value, raw_low, type);
        up = call_method(self, n.parse_value, raw_up, type);
        Ref parameter_class = c.global(n.Parameter);
        Ref para = call(parameter_class, name, desc, value, low, up, unit, type);
        register_row(c, para, index);
        record.add(row, name, {desc, value, low, up, unit, name, type}, {raw_value, raw_low, raw_up});
    }
    record.install();
    return none();
}

}  // namespace tp
