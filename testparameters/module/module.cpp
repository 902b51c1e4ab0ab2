// Entry point and import sequence of the module.
#include "module/classes.hpp"
#include "module/function.hpp"

namespace tp {
namespace {

// `from <module> import <names>`: binds each name in the module, in order.
void import_from(PyObject* module, PyObject* source_name, std::initializer_list<PyObject*> names) {
    Ref fromlist = tuple_of(names);
    PyObject* globals = PyModule_GetDict(module);
    Ref source = check(PyImport_ImportModuleLevelObject(source_name, globals, nullptr, fromlist, 0));
    for (PyObject* name : names) {
        Ref value = getattr_opt(source, name);
        if (!value) {
            Ref message = check(PyUnicode_FromFormat("cannot import name '%U' from '%U'", name, source_name));
            PyErr_SetImportError(message, source_name, nullptr);
            raise();
        }
        check_status(PyDict_SetItem(globals, name, value));
    }
}

int module_exec(PyObject* module) {
    return boundary_status([&] {
        function_type_ready();
        state_init(module);
        const Names& n = state_of(module).n;
        PyObject* globals = PyModule_GetDict(module);
        Ref builtins = check(PyImport_Import(n.mod_builtins));
        check_status(PyDict_SetItem(globals, n.dunder_builtins, builtins));
        import_from(module, n.mod_openpyxl, {n.load_workbook, n.Workbook});
        import_from(module, n.mod_typing, {n.List});
        define_classes(module);
        Ref test = check(PyDict_New());
        check_status(PyDict_SetItem(globals, n.dunder_test, test));
    });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State** slot = static_cast<State**>(PyModule_GetState(module));
    if (slot && *slot) Py_VISIT((*slot)->builtins.get());
    return 0;
}

void module_free(void* module) {
    State** slot = static_cast<State**>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (slot && *slot) {
        // The weak references go first, so that no callback runs on a
        // state being taken apart.
        for (auto& entry : (*slot)->tables) entry.second.weakref.reset();
        delete *slot;
        *slot = nullptr;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orv_testparameters",
    nullptr,
    sizeof(State*),
    nullptr,
    module_slots,
    module_traverse,
    nullptr,
    module_free,
};

}  // namespace

void state_init(PyObject* module) {
    State** slot = static_cast<State**>(PyModule_GetState(module));
    *slot = new State();
    State& st = **slot;
#define TP_NAME_INIT(id, text)                                     \
    st.n.id = Ref::steal(PyUnicode_InternFromString(text));        \
    if (!st.n.id) raise();
    TP_INTERNED(TP_NAME_INIT)
#undef TP_NAME_INIT
    Ref builtins = check(PyImport_Import(st.n.mod_builtins));
    st.builtins = Ref::borrow(PyModule_GetDict(builtins));
    st.builtin_eval = Ref::borrow(PyDict_GetItemWithError(st.builtins, st.n.eval_type));
    if (!st.builtin_eval) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "the builtins module has no eval");
        raise();
    }
    st.kw_cell = tuple_of({st.n.row, st.n.column});
    st.kw_load = tuple_of({st.n.read_only, st.n.data_only});
    st.kw_iter_rows = tuple_of({st.n.min_row, st.n.max_col, st.n.values_only});
    st.kw_record = tuple_of({st.n.record});
}

}  // namespace tp

TP_EXPORT PyInit_orv_testparameters() { return PyModuleDef_Init(&tp::module_def); }
