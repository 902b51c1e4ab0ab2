// The function object type of the module: what every method of the three
// classes is. It behaves like a Python function: it binds its arguments as a
// `def` with the same parameter list would (and reports a bad call with the
// interpreter's own message), carries `__name__`, `__qualname__`,
// `__module__`, `__doc__`, `__defaults__`, `__kwdefaults__`,
// `__annotations__` and `__code__`, and becomes a bound method when read from
// an instance.
#pragma once

#include "module/ops.hpp"
#include "module/state.hpp"

#include <utility>

namespace tp {

struct FunctionData;

// One call of a function, its arguments bound to its parameters.
struct Call {
    const FunctionData& fn;
    // One borrowed object per parameter, in order (self first); a function
    // with *args and **kwargs gets a tuple and a dict after the named ones.
    PyObject* const* args;
    State& st;

    PyObject* self() const { return args[0]; }
    // The arguments as the members of `A` (see TP_ARGUMENTS in members.hpp),
    // which the function was checked at its making to have one of per slot.
    template <class A>
    A arguments() const {
        return arguments<A>(std::make_index_sequence<sizeof(A) / sizeof(PyObject*)>());
    }
    const Names& n() const { return st.n; }
    // A module-level name as it is bound now: the module namespace first,
    // then the builtins. NameError when neither has it.
    Ref global(PyObject* name) const;

private:
    template <class A, size_t... I>
    A arguments(std::index_sequence<I...>) const {
        return A{args[I]...};
    }
};

using Impl = Ref (*)(const Call&);

// The C++ part of a function object (constructed in place after allocation).
struct FunctionData {
    Impl impl = nullptr;
    Py_ssize_t nparams = 0;  // named parameters, self included
    bool varargs = false;
    bool varkw = false;
    Ref varnames;  // tuple: the names of the named parameters first
    Ref name;
    Ref qualname;
    Ref module_name;
    Ref doc;
    Ref defaults;
    Ref annotations;
    Ref code;
    Ref twin;    // a plain function of the same signature: reports bad calls
    Ref module;  // the module object whose namespace and state the body uses
    Ref dict;
};

struct Function {
    PyObject_HEAD
#if TP_HAVE_VECTORCALL
    vectorcallfunc vectorcall;
#endif
    PyObject* weakrefs;  // weak reference list head (not an owned reference)
    FunctionData d;
};

extern PyTypeObject FunctionType;

// Makes the function `member` of class `cls` from `signature`, the text of a
// parameter list as a `def` would write it, with defaults and annotations,
// e.g. "(self, name, default=None)" or "(self) -> List[str]". Defaults and
// annotations are evaluated now, as in a class body: with `ns` (the class
// namespace being filled) as locals and the module namespace as globals.
// `parameters` is what the body calls its `nparameters` arguments
// ("self, name, default_"): SystemError unless they are the signature's
// parameters, in order (a trailing underscore aside).
Ref make_function(PyObject* module, PyObject* ns, const char* cls, const char* member, const char* signature,
                  Impl impl, const char* parameters, size_t nparameters);

void function_type_ready();

}  // namespace tp
