// The str operations that loading and value parsing apply to cell contents
// and type texts. Each behaves as the host's method or operator called on the
// object: exact str objects are handled here directly (their methods cannot be
// replaced), anything else (a str subclass, another kind of object) goes
// through the object protocol.
#pragma once

#include "module/ops.hpp"
#include "module/state.hpp"

namespace tp::strops {

// s.strip()
Ref strip(const Names& n, PyObject* s);
// s.lower()
Ref lower(const Names& n, PyObject* s);
// str(obj).strip()
Ref str_stripped(const Names& n, PyObject* obj);
// s == literal (an ASCII literal), the host's ==.
bool equals(PyObject* s, const char* literal);
// The first character of an exact str, or -1 for "".
long first_char(PyObject* s);

}  // namespace tp::strops
