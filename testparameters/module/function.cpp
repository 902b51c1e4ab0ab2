#include "module/function.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <vector>

namespace tp {

Ref Call::global(PyObject* key) const {
    PyObject* globals = PyModule_GetDict(fn.module);
    PyObject* v = PyDict_GetItemWithError(globals, key);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(st.builtins, key);
    if (!v) {
        if (!PyErr_Occurred()) raise_format(PyExc_NameError, "name '%s' is not defined", key);
        raise();
    }
    return Ref::borrow(v);
}

namespace {

constexpr Py_ssize_t kMaxSlots = 16;

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// The bad call, made again on the plain twin so that the interpreter raises
// the TypeError it raises for a Python function of this signature.
[[noreturn]] void bad_call(const FunctionData& f, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    Ref result = check(compat::call(f.twin, args, nargs, kwnames));
    raise(PyExc_SystemError, "argument binding disagrees with the function's signature");
}

Py_ssize_t param_index(const FunctionData& f, PyObject* key) {
    PyObject* const* names = &PyTuple_GET_ITEM(f.varnames.get(), 0);
    for (Py_ssize_t j = 0; j < f.nparams; ++j)
        if (names[j] == key) return j;
    for (Py_ssize_t j = 0; j < f.nparams; ++j)
        if (exact_str_equal(names[j], key)) return j;
    return -1;
}

Ref invoke(const FunctionData& f, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    PyObject* slots[kMaxSlots] = {};
    const Py_ssize_t n = f.nparams;
    const Py_ssize_t npos = (Py_ssize_t)nargs;
    Ref varargs, varkw;

    if (npos > n) {
        if (!f.varargs) bad_call(f, args, nargs, kwnames);
        varargs = check(PyTuple_New(npos - n));
        for (Py_ssize_t i = n; i < npos; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(varargs.get(), i - n, args[i]);
        }
    }
    for (Py_ssize_t i = 0; i < npos && i < n; ++i) slots[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[npos + k];
        if (!PyUnicode_CheckExact(key)) bad_call(f, args, nargs, kwnames);
        Py_ssize_t j = param_index(f, key);
        if (j >= 0) {
            if (slots[j]) bad_call(f, args, nargs, kwnames);
            slots[j] = value;
        } else if (f.varkw) {
            if (!varkw) varkw = check(PyDict_New());
            check_status(PyDict_SetItem(varkw, key, value));
        } else {
            bad_call(f, args, nargs, kwnames);
        }
    }

    Ref defaults = f.defaults.copy();  // kept alive: the body may rebind __defaults__
    const Py_ssize_t ndef = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (slots[j]) continue;
        if (j < n - ndef) bad_call(f, args, nargs, kwnames);
        slots[j] = PyTuple_GET_ITEM(defaults.get(), j - (n - ndef));
    }
    Py_ssize_t used = n;
    if (f.varargs) {
        if (!varargs) varargs = check(PyTuple_New(0));
        slots[used++] = varargs;
    }
    if (f.varkw) {
        if (!varkw) varkw = check(PyDict_New());
        slots[used++] = varkw;
    }
    Ref module = f.module.copy();
    Call call{f, slots, state_of(module)};
    return f.impl(call);
}

#if TP_HAVE_VECTORCALL
PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary([&] { return invoke(as_function(self)->d, args, (size_t)compat::vectorcall_nargs(nargsf), kwnames); });
}

#else
PyObject* fn_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        // Lay the call out as a vector call: positional values, then keyword values.
        std::vector<PyObject*> argv;
        std::vector<Ref> keep;
        Ref kwnames;
        Py_ssize_t npos = PyTuple_GET_SIZE(args);
        argv.reserve((size_t)npos + 4);
        for (Py_ssize_t i = 0; i < npos; ++i) argv.push_back(PyTuple_GET_ITEM(args, i));
        if (kwargs && PyDict_Size(kwargs)) {
            kwnames = check(PyTuple_New(PyDict_Size(kwargs)));
            PyObject *key, *value;
            Py_ssize_t pos = 0, k = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                Py_INCREF(key);
                PyTuple_SET_ITEM(kwnames.get(), k++, key);
                keep.push_back(Ref::borrow(value));
                argv.push_back(value);
            }
        }
        return invoke(as_function(self)->d, argv.data(), (size_t)npos, kwnames);
    });
}
#endif

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->d.qualname.get(), self); }

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionData* f = &as_function(self)->d;
    for (Ref* r : {&f->varnames, &f->name, &f->qualname, &f->module_name, &f->doc, &f->defaults, &f->annotations,
                   &f->code, &f->twin, &f->module, &f->dict})
        Py_VISIT(r->get());
    return 0;
}

int fn_clear(PyObject* self) {
    FunctionData* f = &as_function(self)->d;
    for (Ref* r : {&f->varnames, &f->name, &f->qualname, &f->module_name, &f->doc, &f->defaults, &f->annotations,
                   &f->code, &f->twin, &f->module, &f->dict})
        r->reset();
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Function* f = as_function(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    f->d.~FunctionData();
    PyObject_GC_Del(self);
}

// Attributes ----------------------------------------------------------------

template <Ref FunctionData::*field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* v = (as_function(self)->d.*field).get();
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    return boundary_status([&] {
        if (value == nullptr || value == Py_None) {
            value = Py_None;
        } else if (!PyTuple_Check(value)) {
            raise(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        }
        FunctionData* f = &as_function(self)->d;
        if (!f->module || !f->twin) raise(PyExc_SystemError, "function has been cleared");
        setattr(f->twin, state_of(f->module).n.dunder_defaults, value);
        f->defaults = value == Py_None ? Ref() : Ref::borrow(value);
    });
}

int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->d.doc = Ref::borrow(value ? value : Py_None);
    return 0;
}

int set_module(PyObject* self, PyObject* value, void*) {
    as_function(self)->d.module_name = Ref::borrow(value ? value : Py_None);
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_globals(PyObject* self, void*) {
    PyObject* d = PyModule_GetDict(as_function(self)->d.module);
    Py_XINCREF(d);
    return d;
}

PyGetSetDef fn_getset[] = {
    {TP_CHARP("__name__"), get_field<&FunctionData::name>, nullptr, nullptr, nullptr},
    {TP_CHARP("__qualname__"), get_field<&FunctionData::qualname>, nullptr, nullptr, nullptr},
    {TP_CHARP("__module__"), get_field<&FunctionData::module_name>, set_module, nullptr, nullptr},
    {TP_CHARP("__doc__"), get_field<&FunctionData::doc>, set_doc, nullptr, nullptr},
    {TP_CHARP("__defaults__"), get_field<&FunctionData::defaults>, set_defaults, nullptr, nullptr},
    {TP_CHARP("__kwdefaults__"), get_kwdefaults, nullptr, nullptr, nullptr},
    {TP_CHARP("__annotations__"), get_field<&FunctionData::annotations>, nullptr, nullptr, nullptr},
    {TP_CHARP("__code__"), get_field<&FunctionData::code>, nullptr, nullptr, nullptr},
    {TP_CHARP("__globals__"), get_globals, nullptr, nullptr, nullptr},
    {TP_CHARP("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// The slots are filled in by function_type_ready(), not here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

void function_type_ready() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    FunctionType.tp_name = "orv_testparameters.function";
    FunctionType.tp_basicsize = sizeof(Function);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | TP_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_dealloc = fn_dealloc;
    FunctionType.tp_repr = fn_repr;
    FunctionType.tp_traverse = fn_traverse;
    FunctionType.tp_clear = fn_clear;
    FunctionType.tp_descr_get = fn_descr_get;
    FunctionType.tp_getset = fn_getset;
    FunctionType.tp_weaklistoffset = offsetof(Function, weakrefs);
    // The instance dict is the `dict` Ref, which holds nothing but the pointer.
    static_assert(sizeof(Ref) == sizeof(PyObject*), "Ref must be a bare pointer");
    FunctionType.tp_dictoffset = (Py_ssize_t)(offsetof(Function, d) + offsetof(FunctionData, dict));
#if TP_HAVE_VECTORCALL
    FunctionType.tp_flags |= TP_TPFLAGS_VECTORCALL;
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_call = TP_VECTORCALL_CALL;
#else
    FunctionType.tp_call = fn_call;
#endif
    check_status(PyType_Ready(&FunctionType));
}

namespace {

// Whether `parameters` ("self, name, default_") names the first `count` of
// `varnames`, in order, each maybe with a trailing underscore.
bool same_parameters(PyObject* varnames, Py_ssize_t count, const char* parameters) {
    const char* p = parameters;
    for (Py_ssize_t i = 0; i < count; ++i) {
        while (*p == ' ' || *p == ',') ++p;
        const char* end = p;
        while (*end && *end != ',' && *end != ' ') ++end;
        std::string word(p, end);
        if (!word.empty() && word.back() == '_' && word.size() > 1) word.pop_back();
        if (i >= PyTuple_GET_SIZE(varnames) ||
            PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(varnames, i), word.c_str()) != 0)
            return false;
        p = end;
    }
    while (*p == ' ' || *p == ',') ++p;
    return *p == '\0';
}

}  // namespace

Ref make_function(PyObject* module, PyObject* ns, const char* cls, const char* member, const char* signature,
                  Impl impl, const char* parameters, size_t nparameters) {
    // The twin: `def member<signature>: pass`, run like a statement of the class
    // body (on a copy of the namespace, so that the namespace itself is not touched).
    std::string source = std::string("def ") + member + signature + ":\n    pass\n";
    const Names& n = state_of(module).n;
    PyObject* globals = PyModule_GetDict(module);
    Ref code = check(Py_CompileString(source.c_str(), "orv_testparameters", Py_file_input));
    Ref scratch = check(PyDict_Copy(ns));
    Ref ran = check(PyEval_EvalCode(code, globals, scratch));
    Ref twin = Ref::borrow(PyDict_GetItemString(scratch, member));
    if (!twin) raise(PyExc_SystemError, "function definition did not bind its name");
    Ref qualname = check(PyUnicode_FromFormat("%s.%s", cls, member));
    setattr(twin, n.dunder_qualname, qualname);

    Ref fcode = getattr(twin, n.code);
    // Each number is checked before the next call: no C-API call may run
    // while an exception is set.
    const long argcount = PyLong_AsLong(getattr(fcode, n.co_argcount));
    if (argcount == -1 && PyErr_Occurred()) raise();
    const long flags = PyLong_AsLong(getattr(fcode, n.co_flags));
    if (flags == -1 && PyErr_Occurred()) raise();
    if (argcount + 2 > kMaxSlots) raise(PyExc_SystemError, "too many parameters");

    Function* obj = PyObject_GC_New(Function, &FunctionType);
    if (!obj) raise();
#if TP_HAVE_VECTORCALL
    obj->vectorcall = fn_vectorcall;
#endif
    obj->weakrefs = nullptr;
    FunctionData* f = new (&obj->d) FunctionData();
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(obj));
    f->impl = impl;
    f->nparams = argcount;
    f->varargs = (flags & CO_VARARGS) != 0;
    f->varkw = (flags & CO_VARKEYWORDS) != 0;
    f->varnames = getattr(fcode, n.co_varnames);
    const Py_ssize_t slots = argcount + (f->varargs ? 1 : 0) + (f->varkw ? 1 : 0);
    if (!PyTuple_Check(f->varnames.get()) || (size_t)slots != nparameters ||
        !same_parameters(f->varnames, slots, parameters)) {
        PyErr_Format(PyExc_SystemError, "%s.%s%s: its body reads the arguments (%s)", cls, member, signature,
                     parameters);
        raise();
    }
    f->name = getattr(twin, n.dunder_name);
    f->qualname = std::move(qualname);
    f->module_name = getattr(twin, n.dunder_module);
    f->doc = none();
    Ref defaults = getattr(twin, n.dunder_defaults);
    if (defaults.get() != Py_None) f->defaults = std::move(defaults);
    f->annotations = getattr(twin, n.dunder_annotations);
    f->code = std::move(fcode);
    f->twin = std::move(twin);
    f->module = Ref::borrow(module);
    PyObject_GC_Track(self);
    return self;
}

}  // namespace tp
