#include "sheet/names.hpp"

#include <cstring>

namespace tp::sheet {
namespace {

// Look-ups that must find the list unchanged before its set is made: making
// it costs about as much as a few scans.
constexpr int kStableBeforeSet = 4;

// The weak reference's callback: `self` is (capsule of the State, address of
// the table). The entry goes unless it belongs to another weak reference.
PyObject* forget(PyObject* self, PyObject* weakref) {
    State* st = static_cast<State*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(self, 0), "tp.state"));
    PyObject* table = static_cast<PyObject*>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(self, 1)));
    PyErr_Clear();
    if (!st) Py_RETURN_NONE;
    auto it = st->table_names.find(table);
    if (it != st->table_names.end() && it->second.weakref.get() == weakref) {
        // Taken out of the map before its references go: freeing the list
        // may run code that looks at the map.
        TableNames gone = std::move(it->second);
        st->table_names.erase(it);
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_def = {"forget_table_names", forget, METH_O, nullptr};

// The entry of the table c.self(), made when missing; null for an object that
// takes no weak references (it is always scanned).
TableNames* entry_of(const Call& c) {
    PyObject* table = c.self();
    auto it = c.st.table_names.find(table);
    if (it != c.st.table_names.end()) return &it->second;
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(table))) return nullptr;
    Ref capsule = check(PyCapsule_New(&c.st, "tp.state", nullptr));
    Ref address = check(PyLong_FromVoidPtr(table));
    Ref self = tuple_of({capsule, address});
    Ref callback = check(PyCFunction_New(&forget_def, self));
    Ref weakref = check(PyWeakref_NewRef(table, callback));
    // Making the objects above may have run the collector, and code of the
    // caller's with it, which may have looked the table up already.
    TableNames& entry = c.st.table_names[table];
    if (!entry.weakref) entry.weakref = std::move(weakref);
    return &entry;
}

bool same_elements(PyObject* names, PyObject* copy) {
    const Py_ssize_t size = PyList_GET_SIZE(names);
    return size == PyList_GET_SIZE(copy) &&
           (size == 0 || std::memcmp(&PyList_GET_ITEM(names, 0), &PyList_GET_ITEM(copy, 0), (size_t)size * sizeof(PyObject*)) == 0);
}

bool unchanged(const TableNames& e, PyObject* names) {
    return e.list.get() == names && e.copy && same_elements(names, e.copy);
}

// The entry takes `names` as it is now. The old objects are dropped last:
// freeing them may run code that looks at the entry.
void retake(TableNames& e, PyObject* names) {
    Ref copy = check(PyList_GetSlice(names, 0, PyList_GET_SIZE(names)));
    bool str_only = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy.get()) && str_only; ++i)
        str_only = PyUnicode_CheckExact(PyList_GET_ITEM(copy.get(), i));
    Ref list = Ref::borrow(names), set;
    e.list.swap(list);
    e.copy.swap(copy);
    e.set.swap(set);
    e.str_only = str_only;
    e.stable = 0;
}

}  // namespace

bool has_name(const Call& c, PyObject* names, PyObject* name) {
    if (!PyUnicode_CheckExact(name) || !PyList_CheckExact(names)) return contains(names, name);
    TableNames* e = entry_of(c);
    if (!e) return contains(names, name);
    if (unchanged(*e, names)) {
        if (e->set) return check_status(PySet_Contains(e->set, name)) != 0;
        if (e->str_only && ++e->stable >= kStableBeforeSet) {
            Ref set = check(PySet_New(e->copy));
            // Making the set may have run the collector, and code with it.
            if (unchanged(*e, names)) {
                e->set.swap(set);
                return check_status(PySet_Contains(e->set, name)) != 0;
            }
        }
        // Exact str names only: the scan runs no code and the list stays as the copy.
        if (e->str_only) return contains(names, name);
    }
    const bool found = contains(names, name);
    retake(*e, names);
    return found;
}

void add_name(const Call& c, PyObject* names, PyObject* name) {
    if (!PyList_CheckExact(names)) {
        if (!contains(names, name)) call_method(names, c.n().append, name);
        return;
    }
    if (has_name(c, names, name)) return;
    check_status(PyList_Append(names, name));
    // has_name, answering for an exact str, left the entry matching the list:
    // the entry follows the append. Nothing that can run code lies between
    // (neither append allocates an object).
    auto it = c.st.table_names.find(c.self());
    if (it == c.st.table_names.end()) return;
    TableNames& e = it->second;
    if (!PyUnicode_CheckExact(name) || e.list.get() != names || !e.copy ||
        PyList_GET_SIZE(e.copy.get()) + 1 != PyList_GET_SIZE(names)) {
        e.list.reset();  // looked at afresh next time
        return;
    }
    check_status(PyList_Append(e.copy, name));
    if (e.set) check_status(PySet_Add(e.set, name));
}

}  // namespace tp::sheet
