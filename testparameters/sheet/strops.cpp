#include "sheet/strops.hpp"

#include <cstring>

namespace tp::strops {

Ref strip(const Names& n, PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return call_method(s, n.strip);
    if (!compat::unicode_ready(s)) raise();
    // str.strip() without arguments removes what Py_UNICODE_ISSPACE calls white space.
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    Py_ssize_t begin = 0, end = len;
    if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
        const Py_UCS1* data = PyUnicode_1BYTE_DATA(s);
        while (begin < end && Py_UNICODE_ISSPACE(data[begin])) ++begin;
        while (end > begin && Py_UNICODE_ISSPACE(data[end - 1])) --end;
    } else {
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) ++begin;
        while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    }
    if (begin == 0 && end == len) return Ref::borrow(s);
    return check(PyUnicode_Substring(s, begin, end));
}

Ref lower(const Names& n, PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return call_method(s, n.lower);
    if (!compat::unicode_ready(s)) raise();
    // Outside ASCII the host's full case mapping applies (one letter may become two).
    if (!PyUnicode_IS_ASCII(s)) return call_method(s, n.lower);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const char* src = static_cast<const char*>(PyUnicode_DATA(s));
    Py_ssize_t i = 0;
    while (i < len && !(src[i] >= 'A' && src[i] <= 'Z')) ++i;
    if (i == len) return Ref::borrow(s);
    Ref out = check(PyUnicode_New(len, 127));
    char* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
    for (Py_ssize_t k = 0; k < len; ++k) {
        char ch = src[k];
        dst[k] = (ch >= 'A' && ch <= 'Z') ? (char)(ch - 'A' + 'a') : ch;
    }
    return out;
}

Ref str_stripped(const Names& n, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return strip(n, obj);
    Ref s = str(obj);
    return strip(n, s);
}

bool equals_slow(PyObject* s, const char* literal) {
    Ref other = tp::text(literal);
    return check_status(PyObject_RichCompareBool(s, other, Py_EQ)) != 0;
}

long first_char(PyObject* s) {
    if (!compat::unicode_ready(s)) raise();
    if (PyUnicode_GET_LENGTH(s) == 0) return -1;
    return (long)PyUnicode_READ_CHAR(s, 0);
}

}  // namespace tp::strops
