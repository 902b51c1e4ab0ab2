// Straight-line wrappers of the object protocol: each one either succeeds or
// throws `PyError` with the Python exception set.
#pragma once

#include "module/ref.hpp"

#include <cstring>
#include <initializer_list>

namespace tp {

inline PyObject* raw(PyObject* p) { return p; }
inline PyObject* raw(const Ref& r) { return r.get(); }

inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }

// The attribute, or an empty Ref when the object has none (AttributeError only).
inline Ref getattr_opt(PyObject* obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj, name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
    }
    return Ref::steal(v);
}

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check_status(PyObject_SetAttr(obj, name, value));
}

inline bool truth(PyObject* obj) { return check_status(PyObject_IsTrue(obj)) != 0; }

// `a == b`, as the operator does it (no identity shortcut).
inline bool eq(PyObject* a, PyObject* b) {
    Ref result = check(PyObject_RichCompare(a, b, Py_EQ));
    return truth(result);
}

inline bool isinstance(PyObject* obj, PyObject* cls) { return check_status(PyObject_IsInstance(obj, cls)) != 0; }

// Equality of two exact str objects without going through rich comparison:
// what str == str compares. The interpreter keeps every str in its canonical
// form (the narrowest kind that holds its characters), so two are equal
// exactly when length, kind and data are.
inline bool exact_str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!compat::unicode_ready(a) || !compat::unicode_ready(b)) raise();
    Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    // Names of one length mostly differ in the hash that each has cached.
    const Py_hash_t ha = compat::cached_hash(a), hb = compat::cached_hash(b);
    if (ha != -1 && hb != -1 && ha != hb) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)len * PyUnicode_KIND(a)) == 0;
}

// Position of the first element of `list` (an exact list) equal to `item`,
// or -1: the comparisons `in` and `index` make (identity, then ==), skipping
// rich comparison when both sides are exact str.
inline Py_ssize_t index_of(PyObject* list, PyObject* item) {
    const bool item_str = PyUnicode_CheckExact(item);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* el = PyList_GET_ITEM(list, i);
        if (el == item) return i;
        if (item_str && PyUnicode_CheckExact(el)) {
            if (exact_str_equal(el, item)) return i;
            continue;
        }
        Ref hold = Ref::borrow(el);
        if (check_status(PyObject_RichCompareBool(hold, item, Py_EQ))) return i;
    }
    return -1;
}

// `item in seq`: a list is scanned here, anything else goes through the
// sequence protocol.
inline bool contains(PyObject* seq, PyObject* item) {
    if (!PyList_CheckExact(seq)) return check_status(PySequence_Contains(seq, item)) != 0;
    return index_of(seq, item) >= 0;
}

template <class... A>
Ref call(PyObject* callable, const A&... args) {
    PyObject* argv[] = {nullptr, raw(args)...};
    return check(compat::call(callable, argv + 1, sizeof...(A), nullptr));
}

// Calls `obj.name(args...)`, looking the method up on the object each time.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
    PyObject* argv[] = {obj, raw(args)...};
    return check(compat::call_method(name, argv, 1 + sizeof...(A)));
}

// Calls with keyword arguments: `kwnames` is a tuple of the names whose values
// are the last entries of `args`.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return check(compat::call(callable, args.begin(), args.size() - (size_t)nkw, kwnames));
}

inline Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = check(PyTuple_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (PyObject* it : items) {
        Py_INCREF(it);
        PyTuple_SET_ITEM(t.get(), i++, it);
    }
    return t;
}

inline Ref str(PyObject* obj) { return check(PyObject_Str(obj)); }
inline Ref text(const char* s) { return check(PyUnicode_FromString(s)); }
inline Ref integer(long v) { return check(PyLong_FromLong(v)); }

// `format % (arg,)`: the message with its one `%s` filled in.
[[noreturn]] inline void raise_format(PyObject* type, const char* format, PyObject* arg) {
    Ref fmt = text(format);
    Ref args = tuple_of({arg});
    Ref message = check(PyUnicode_Format(fmt, args));
    PyErr_SetObject(type, message);
    raise();
}

}  // namespace tp
