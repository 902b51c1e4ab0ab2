// Owned references and the module's one error idiom.
//
// Rules of use:
//  * Every reference the code owns lives in a `Ref`; a bare `PyObject*` is
//    always borrowed and must not outlive the `Ref` (or the caller's argument)
//    it came from.
//  * A C-API call that fails leaves a Python exception set; `check()` turns
//    that into a C++ `PyError`, which unwinds (dropping the `Ref`s on the way)
//    to the boundary of the Python-visible function, where `boundary()` hands
//    the still-set Python exception back to the interpreter.
#pragma once

#include "module/compat.hpp"

#include <exception>
#include <new>
#include <utility>

namespace tp {

// Marker: a Python exception is set and is on its way to the caller.
struct PyError final {};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    // Adds a reference to a borrowed object (which may be null).
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    Ref copy() const noexcept { return borrow(p_); }
    // Hands the reference to the caller (the interpreter, usually).
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    PyObject* p_ = nullptr;
};

// Holds the exception in flight while clean-up code runs (which may use the
// C API freely) and puts it back when it goes out of scope.
class PendingError {
public:
    PendingError() noexcept {
        PyObject *type, *value, *traceback;
        compat::error_fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
        PyErr_Clear();
        compat::error_restore(type_.release(), value_.release(), traceback_.release());
    }

private:
    Ref type_, value_, traceback_;
};

[[noreturn]] inline void raise() { throw PyError{}; }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    raise();
}

// A new reference from the C API, or the Python error as a `PyError`.
inline Ref check(PyObject* p) {
    if (!p) raise();
    return Ref::steal(p);
}

// An int status from the C API (negative on error).
inline int check_status(int rc) {
    if (rc < 0) raise();
    return rc;
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// Sets the Python error that stands for the C++ exception being handled.
inline void set_python_error() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// Runs `body` and converts its outcome for the interpreter: a new reference,
// or null with the Python exception set.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

// Same for slots that report with an int status.
template <class Body>
int boundary_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        set_python_error();
        return -1;
    }
}

}  // namespace tp
