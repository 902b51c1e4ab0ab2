#include "sheet/names.hpp"

#include "module/members.hpp"
#include "module/own.hpp"

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
    auto it = st->tables.find(table);
    if (it != st->tables.end() && it->second.weakref.get() == weakref) {
        // Taken out of the map before its references go: freeing the list
        // may run code that looks at the map.
        TableMemo gone = std::move(it->second);
        st->tables.erase(it);
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_def = {"forget_tables", forget, METH_O, nullptr};

// The memo of `table`, made when missing; null for an object that takes no
// weak references (it is never remembered).
TableMemo* memo_of(const Call& c, PyObject* table) {
    auto it = c.st.tables.find(table);
    if (it != c.st.tables.end()) return &it->second;
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(table))) return nullptr;
    Ref capsule = check(PyCapsule_New(&c.st, "tp.state", nullptr));
    Ref address = check(PyLong_FromVoidPtr(table));
    Ref self = tuple_of({capsule, address});
    Ref callback = check(PyCFunction_New(&forget_def, self));
    Ref weakref = check(PyWeakref_NewRef(table, callback));
    // Making the objects above may have run the collector, and code of the
    // caller's with it, which may have made the memo already.
    TableMemo& memo = c.st.tables[table];
    if (!memo.weakref) memo.weakref = std::move(weakref);
    return &memo;
}

bool same_elements(PyObject* names, PyObject* copy) {
    const Py_ssize_t size = PyList_GET_SIZE(names);
    return size == PyList_GET_SIZE(copy) &&
           (size == 0 ||
            std::memcmp(&PyList_GET_ITEM(names, 0), &PyList_GET_ITEM(copy, 0), (size_t)size * sizeof(PyObject*)) == 0);
}

bool unchanged(const TableMemo& e, PyObject* names) { return e.copy && same_elements(names, e.copy); }

// The memo takes the elements of `names` as they are now, when they are all
// exact str; else it forgets them. The old objects are dropped last.
void retake(TableMemo& e, PyObject* names) {
    Ref copy = check(PyList_GetSlice(names, 0, PyList_GET_SIZE(names)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy.get()); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(copy.get(), i))) {
            copy.reset();
            break;
        }
    Ref set;
    e.copy.swap(copy);
    e.set.swap(set);
    e.stable = 0;
}

// The table's namespace, or an empty Ref for an object without one.
Ref namespace_of(PyObject* table) {
    if (!Py_TYPE(table)->tp_dictoffset) return Ref();
    Ref dict = check(PyObject_GenericGetDict(table, nullptr));
    return PyDict_CheckExact(dict.get()) ? std::move(dict) : Ref();
}

// Notes what table.sheet_name() answers while the table's class and
// namespace stay as they are now, when that is the module's own sheet_name
// reading a None or exact str _sheet_name from the namespace, through the
// generic attribute protocol, and no look-up on the way can run code.
void remember_title(const Call& c, PyObject* table) {
    const Names& n = c.n();
    TableMemo* e = memo_of(c, table);
    if (!e) return;
    e->title.reset();
    PyTypeObject* type = Py_TYPE(table);
    PyObject* found = nullptr;
    if (!generic_attributes(type) || !find_in_mro(type, n.sheet_name, found) || !found ||
        !is_own_function(c, found, kSheetName.impl) || !find_in_mro(type, n.sheet_name_attr, found) || found)
        return;
    Ref dict = namespace_of(table);
    if (!dict || !compat::dict_holds_attributes(dict) || !str_keys_only(dict)) return;
    if (PyDict_GetItemWithError(dict, n.sheet_name)) return;
    PyObject* title = PyDict_GetItemWithError(dict, n.sheet_name_attr);
    if (!title || !(title == Py_None || PyUnicode_CheckExact(title))) {
        if (PyErr_Occurred()) raise();
        return;
    }
    const unsigned int type_version = compat::type_version(type);
    const uint64_t dict_version = compat::dict_version(dict);
    if (!type_version || !dict_version) return;
    e->title = Ref::borrow(title);
    e->title_dict = dict.get();
    e->title_dict_version = dict_version;
    e->title_type = type;
    e->title_type_version = type_version;
}

}  // namespace

bool has_name(const Call& c, PyObject* names, PyObject* name) {
    if (!PyUnicode_CheckExact(name) || !PyList_CheckExact(names)) return contains(names, name);
    TableMemo* e = memo_of(c, c.self());
    if (!e) return contains(names, name);
    if (unchanged(*e, names)) {
        if (e->set) return check_status(PySet_Contains(e->set, name)) != 0;
        if (++e->stable >= kStableBeforeSet) {
            Ref copy = e->copy.copy();  // held: making the set may run code that retakes the memo
            Ref set = check(PySet_New(copy));
            // Making the set may have run the collector, and code with it.
            if (unchanged(*e, names)) {
                e->set.swap(set);
                return check_status(PySet_Contains(e->set, name)) != 0;
            }
        }
        // Exact str names only: the scan runs no code and the list stays as the copy.
        return contains(names, name);
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
    // has_name, answering for an exact str, left the memo matching the list
    // or forgetting it: the memo follows the append. Nothing that can run
    // code lies between (neither append makes an object).
    auto it = c.st.tables.find(c.self());
    if (it == c.st.tables.end() || !it->second.copy) return;
    TableMemo& e = it->second;
    if (!PyUnicode_CheckExact(name) || PyList_GET_SIZE(e.copy.get()) + 1 != PyList_GET_SIZE(names)) {
        e.copy.reset();
        e.set.reset();
        return;
    }
    check_status(PyList_Append(e.copy, name));
    if (e.set) check_status(PySet_Add(e.set, name));
}

Ref title_of(const Call& c, PyObject* table) {
    auto it = c.st.tables.find(table);
    if (it != c.st.tables.end() && it->second.title) {
        // The memo stays where it is while the table lives, also when the
        // map grows; it is read after the namespace, whose making may run code.
        const TableMemo* e = &it->second;
        Ref dict = namespace_of(table);
        PyTypeObject* type = Py_TYPE(table);
        if (e->title && dict && dict.get() == e->title_dict && compat::dict_holds_attributes(dict) &&
            compat::dict_version(dict) == e->title_dict_version &&
            type == e->title_type && compat::type_version(type) == e->title_type_version)
            return e->title.copy();
    }
    Ref title = call_method(table, c.n().sheet_name);
    remember_title(c, table);
    return title;
}

}  // namespace tp::sheet
