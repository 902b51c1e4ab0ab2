// The str operations that loading and value parsing apply to cell contents
// and type texts. Each behaves as the host's method or operator called on the
// object: exact str objects are handled here directly (their methods cannot be
// replaced), anything else (a str subclass, another kind of object) goes
// through the object protocol.
#pragma once

#include "module/ops.hpp"
#include "module/state.hpp"

#include <cstring>

namespace tp::strops {

// s.strip()
Ref strip(const Names& n, PyObject* s);
// s.lower()
Ref lower(const Names& n, PyObject* s);
// str(obj).strip()
Ref str_stripped(const Names& n, PyObject* obj);
// s == literal (an ASCII literal of `length` characters), the host's ==.
bool equals_slow(PyObject* s, const char* literal);
inline bool equals(PyObject* s, const char* literal, size_t length) {
    if (!PyUnicode_CheckExact(s)) return equals_slow(s, literal);
    if (!compat::unicode_ready(s)) raise();
    return PyUnicode_IS_ASCII(s) && (size_t)PyUnicode_GET_LENGTH(s) == length &&
           std::memcmp(PyUnicode_DATA(s), literal, length) == 0;
}
template <size_t N>
inline bool equals(PyObject* s, const char (&literal)[N]) {
    return equals(s, literal, N - 1);
}
// The first character of an exact str, or -1 for "".
long first_char(PyObject* s);

// Whether str(), strip(), == and hash of `v` are the interpreter's own: None,
// a bool, or an exact str, int or float.
inline bool plain(PyObject* v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v);
}

}  // namespace tp::strops
