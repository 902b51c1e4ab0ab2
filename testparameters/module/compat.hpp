// Differences between the CPython versions the module builds for (3.6 and up)
// live here and nowhere else.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define TP_EXPORT extern "C" __attribute__((visibility("default"))) PyObject*

#if PY_VERSION_HEX >= 0x03080000
#define TP_HAVE_VECTORCALL 1
#else
#define TP_HAVE_VECTORCALL 0
#endif

#if PY_VERSION_HEX >= 0x03090000
#define TP_TPFLAGS_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#define TP_VECTORCALL_FN PyObject_Vectorcall
#define TP_VECTORCALL_CALL PyVectorcall_Call
#elif TP_HAVE_VECTORCALL
#define TP_TPFLAGS_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#define TP_VECTORCALL_FN _PyObject_Vectorcall
#define TP_VECTORCALL_CALL PyVectorcall_Call
#endif

#if TP_HAVE_VECTORCALL
// Lets the interpreter call a method without making a bound method first.
#define TP_TPFLAGS_METHOD_DESCRIPTOR Py_TPFLAGS_METHOD_DESCRIPTOR
#else
#define TP_TPFLAGS_METHOD_DESCRIPTOR 0
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
#endif

// Member and getset tables take `char*` names before 3.7.
#if PY_VERSION_HEX < 0x03070000
#define TP_CHARP(s) const_cast<char*>(s)
#else
#define TP_CHARP(s) s
#endif

namespace tp::compat {

inline Py_ssize_t vectorcall_nargs(size_t n) { return (Py_ssize_t)(n & ~PY_VECTORCALL_ARGUMENTS_OFFSET); }

// Canonical (ready) representation of a str, so that its kind and data can be read.
inline bool unicode_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s) == 0;
#else
    (void)s;
    return true;
#endif
}

// Takes the exception in flight out of the thread state (all null when none),
// and puts it back. From 3.12 on the exception object alone carries it all.
inline void error_fetch(PyObject** type, PyObject** value, PyObject** traceback) {
#if PY_VERSION_HEX >= 0x030C0000
    *type = *traceback = nullptr;
    *value = PyErr_GetRaisedException();
#else
    PyErr_Fetch(type, value, traceback);
#endif
}

// The same, the exception as an object (before 3.12 the interpreter may keep
// an exception that is not yet made into one).
inline void error_fetch_normalized(PyObject** type, PyObject** value, PyObject** traceback) {
    error_fetch(type, value, traceback);
#if PY_VERSION_HEX < 0x030C0000
    if (*type) PyErr_NormalizeException(type, value, traceback);
    if (*value && *traceback) PyException_SetTraceback(*value, *traceback);
#endif
}

// exc.add_note(note) from 3.11 on; before, what add_note does: appends to the
// exception's __notes__ list, made when missing. `add_note` and `notes_name`
// are the names "add_note" and "__notes__". 0, or -1 with an exception set.
inline int add_note(PyObject* exc, PyObject* note, PyObject* add_note, PyObject* notes_name) {
#if PY_VERSION_HEX >= 0x030B0000
    (void)notes_name;
    PyObject* result = PyObject_CallMethodObjArgs(exc, add_note, note, nullptr);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
#else
    (void)add_note;
    PyObject* notes = PyObject_GetAttr(exc, notes_name);
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        notes = PyList_New(0);
        if (!notes) return -1;
        if (PyObject_SetAttr(exc, notes_name, notes) < 0) {
            Py_DECREF(notes);
            return -1;
        }
    }
    int rc = -1;
    if (PyList_Check(notes))
        rc = PyList_Append(notes, note);
    else
        PyErr_SetString(PyExc_TypeError, "Cannot add note: __notes__ is not a list");
    Py_DECREF(notes);
    return rc;
#endif
}

inline void error_restore(PyObject* type, PyObject* value, PyObject* traceback) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)type;
    (void)traceback;
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(type, value, traceback);
#endif
}

// Method call on an object without a bound-method object where the API allows it.
// `args[0]` is the object; `nargs` counts it.
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargs, nullptr);
#else
    PyObject* meth = PyObject_GetAttr(args[0], name);
    if (!meth) return nullptr;
#if TP_HAVE_VECTORCALL
    PyObject* res = _PyObject_Vectorcall(meth, args + 1, nargs - 1, nullptr);
#else
    PyObject* tuple = PyTuple_New((Py_ssize_t)nargs - 1);
    PyObject* res = nullptr;
    if (tuple) {
        for (size_t i = 1; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(tuple, (Py_ssize_t)i - 1, args[i]);
        }
        res = PyObject_Call(meth, tuple, nullptr);
        Py_DECREF(tuple);
    }
#endif
    Py_DECREF(meth);
    return res;
#endif
}

// Call with positional arguments and keyword arguments named by `kwnames`
// (values follow the positional ones in `args`).
inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
#if TP_HAVE_VECTORCALL
    return TP_VECTORCALL_FN(callable, args, nargs, kwnames);
#else
    PyObject* tuple = PyTuple_New((Py_ssize_t)nargs);
    if (!tuple) return nullptr;
    for (size_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, (Py_ssize_t)i, args[i]);
    }
    PyObject* kwargs = nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs = PyDict_New();
        if (!kwargs) { Py_DECREF(tuple); return nullptr; }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + (size_t)i]) < 0) {
                Py_DECREF(tuple);
                Py_DECREF(kwargs);
                return nullptr;
            }
        }
    }
    PyObject* res = PyObject_Call(callable, tuple, kwargs);
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return res;
#endif
}

// Source text to its syntax tree only (for Py_eval_input an ast.Expression),
// read as the builtin compile() reads a str: UTF-8, coding cookies ignored,
// the grammar of the running interpreter.
inline PyObject* parse_to_ast(const char* source, const char* filename, int start) {
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_ONLY_AST | PyCF_SOURCE_IS_UTF8 | PyCF_IGNORE_COOKIE;
#if PY_VERSION_HEX >= 0x03080000
    flags.cf_feature_version = PY_MINOR_VERSION;
#endif
    return Py_CompileStringExFlags(source, filename, start, &flags, -1);
}

// CPython's private fields, read here and nowhere else.
//
// The hash a str has cached, or -1 while it has computed none. It is the
// `hash` field of PyASCIIObject, which no public call returns without
// computing a missing hash. Comparing the cached hashes rejects most unequal
// names of one length without comparing their characters, and the scans of
// the name lists (has_parameter, get_value across the loaded sheets) do
// little else: bench/bench_lookup.py shows them taking twice as long without
// it, and as long through PyObject_Hash.
inline Py_hash_t cached_hash(PyObject* s) { return reinterpret_cast<PyASCIIObject*>(s)->hash; }

// The version tag of a dict (PEP 509): globally unique, and changed by every
// change of the dict. Deprecated from 3.12 on, still kept up to date.
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
inline uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif

// Whether every change of the attributes of the object whose namespace is
// `dict` changes `dict`, and so its version tag. From 3.13 on a namespace
// may share the values stored in the object itself, which attribute stores
// then change directly; one with a table of its own (combined) is the only
// place the attributes live.
inline bool dict_holds_attributes(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030D0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_values == nullptr;
#else
    (void)dict;
    return true;
#endif
}

// The version tag of a type, 0 when it has no valid one. The interpreter
// gives a type a new tag after any change of it or of a class on its MRO.
// Before 3.13 a tag counts only while the type carries the flag saying so.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// The namespace dict of a type, a new reference (static builtin types keep
// theirs outside the type object from 3.12 on).
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// --- saving ---------------------------------------------------------------
// Takes the exception in flight out of the thread state as one exception
// object, its traceback attached (null when none is set).
inline PyObject* error_take() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises the exception object `exc` (a reference is taken over).
inline void error_raise(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

}  // namespace tp::compat
