#include "sheet/load_record.hpp"

namespace tp::sheet {
namespace {

// Objects that hold no other object and cannot change: kept as they are and
// compared by identity. Anything else the load made (a list, a date, an
// object an expression returned) is kept as its identity and its repr(), so
// that the record keeps no such object alive (it may refer back to the table)
// and a change made in place is still seen.
bool is_leaf(PyObject* v) {
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyUnicode_CheckExact(v) || PyBytes_CheckExact(v) || PyComplex_CheckExact(v);
}

// What a snapshot of `v` is: (id, repr), or () when its repr() fails, which
// makes it count as changed.
Ref snapshot(PyObject* v) {
    PyObject* r = PyObject_Repr(v);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
        PyErr_Clear();
        return check(PyTuple_New(0));
    }
    Ref repr = Ref::steal(r);
    Ref id = check(PyLong_FromVoidPtr(v));
    return tuple_of({id, repr});
}

Ref kept(PyObject* v) { return is_leaf(v) ? Ref::borrow(v) : snapshot(v); }

Ref table_key(PyObject* table) { return check(PyLong_FromVoidPtr(table)); }

PyObject* records_of(State& st) {
    if (!st.load_records) st.load_records = check(PyDict_New());
    return st.load_records.get();
}

// The weak reference's callback: `self` is (capsule of the State, key). Its
// entry goes, unless a later load has put another one there.
PyObject* forget(PyObject* self, PyObject* weakref) {
    State* st = static_cast<State*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(self, 0), "tp.state"));
    if (!st) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    PyObject* key = PyTuple_GET_ITEM(self, 1);
    if (st->load_records) {
        PyObject* entry = PyDict_GetItemWithError(st->load_records, key);
        if (entry && PyTuple_GET_ITEM(entry, 0) == weakref && PyDict_DelItem(st->load_records, key) < 0)
            PyErr_Clear();
    }
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyMethodDef forget_def = {"forget_load_record", forget, METH_O, nullptr};

}  // namespace

LoadRecorder::LoadRecorder(const Call& c, PyObject* title, PyObject* max_empty_row)
    : c_(c), title_(Ref::borrow(title)), max_empty_row_(Ref::borrow(max_empty_row)), entries_(check(PyDict_New())) {}

void LoadRecorder::add(Py_ssize_t row, PyObject* name, PyObject* const (&cells)[7], PyObject* const (&raw)[3]) {
    Ref entry = check(PyTuple_New(kEntrySize));
    PyTuple_SET_ITEM(entry.get(), kRow, check(PyLong_FromSsize_t(row)).release());
    for (int i = 0; i < 7; ++i) {
        // The typed cells (B to D) may hold any object; the others are raw
        // cell contents, kept themselves.
        Ref item = (i >= 1 && i <= 3) ? kept(cells[i]) : Ref::borrow(cells[i]);
        PyTuple_SET_ITEM(entry.get(), kFirstCell + i, item.release());
    }
    for (int i = 0; i < 3; ++i) PyTuple_SET_ITEM(entry.get(), kRawValue + i, Ref::borrow(raw[i]).release());
    // A name that cannot be a key (unhashable) simply gets no entry.
    if (PyDict_SetItem(entries_, name, entry) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise();
        PyErr_Clear();
    }
}

void LoadRecorder::install() {
    PyObject* table = c_.self();
    Ref capsule = check(PyCapsule_New(&c_.st, "tp.state", nullptr));
    Ref key = table_key(table);
    Ref self = tuple_of({capsule, key});
    Ref callback = check(PyCFunction_New(&forget_def, self));
    PyObject* weak = PyWeakref_NewRef(table, callback);
    if (!weak) {
        // A table that takes no weak references keeps no record: its saves
        // write every cell, as for a table never loaded.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise();
        PyErr_Clear();
        return;  // the destructor drops any older record
    }
    Ref weakref = Ref::steal(weak);
    Ref record = tuple_of({title_, max_empty_row_, entries_});
    Ref value = tuple_of({weakref, record});
    check_status(PyDict_SetItem(records_of(c_.st), key, value));
    installed_ = true;
}

LoadRecorder::~LoadRecorder() {
    if (installed_ || !c_.st.load_records) return;
    PendingError pending;
    PyObject* key = PyLong_FromVoidPtr(c_.self());
    if (key && PyDict_GetItemWithError(c_.st.load_records, key)) PyDict_DelItem(c_.st.load_records, key);
    Py_XDECREF(key);
}

bool find_load_record(const Call& c, PyObject* table, LoadRecord& out) {
    if (!c.st.load_records) return false;
    Ref key = table_key(table);
    PyObject* value = PyDict_GetItemWithError(c.st.load_records, key);
    if (!value) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    Ref hold = Ref::borrow(value);
    // The entry is the table's only while its weak reference still leads to it.
    Ref referent = call(PyTuple_GET_ITEM(value, 0));
    if (referent.get() != table) return false;
    PyObject* record = PyTuple_GET_ITEM(value, 1);
    out.title = Ref::borrow(PyTuple_GET_ITEM(record, 0));
    out.max_empty_row = Ref::borrow(PyTuple_GET_ITEM(record, 1));
    out.entries = Ref::borrow(PyTuple_GET_ITEM(record, 2));
    return true;
}

bool unchanged(PyObject* kept, PyObject* current) {
    if (!PyTuple_CheckExact(kept)) return kept == current;
    if (PyTuple_GET_SIZE(kept) != 2) return false;
    Ref id = check(PyLong_FromVoidPtr(current));
    if (!eq(id, PyTuple_GET_ITEM(kept, 0))) return false;
    PyObject* r = PyObject_Repr(current);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
        PyErr_Clear();
        return false;
    }
    Ref repr = Ref::steal(r);
    return eq(repr, PyTuple_GET_ITEM(kept, 1));
}

}  // namespace tp::sheet
