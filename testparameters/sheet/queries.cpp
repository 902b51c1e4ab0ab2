// Prefix and postfix queries: one pass over the registered names, testing each
// with the name's own startswith/endswith.
#include "module/members.hpp"

namespace tp {
namespace {

enum class Collect { Count, Names, Parameters };

// `name.startswith(affix)` (or endswith); done directly for exact str on both
// sides, through the name's own method otherwise.
bool matches(PyObject* name, PyObject* affix, PyObject* method, int direction) {
    if (PyUnicode_CheckExact(name) && PyUnicode_CheckExact(affix)) {
        const Py_ssize_t found = PyUnicode_Tailmatch(name, affix, 0, PY_SSIZE_T_MAX, direction);
        if (found < 0) raise();
        return found != 0;
    }
    return truth(call_method(name, method, affix));
}

Ref query(const Call& c, bool prefix, Collect collect) {
    const Names& n = c.n();
    PyObject* method = prefix ? n.startswith : n.endswith;
    const int direction = prefix ? -1 : 1;
    Ref names = getattr(c.self(), n.all_names);
    Ref iter = check(PyObject_GetIter(names));
    Ref result;
    Py_ssize_t count = 0;
    if (collect != Collect::Count) result = check(PyList_New(0));
    while (Ref name = Ref::steal(PyIter_Next(iter))) {
        if (!matches(name, c[1], method, direction)) continue;
        switch (collect) {
            case Collect::Count: ++count; break;
            case Collect::Names: check_status(PyList_Append(result, name)); break;
            case Collect::Parameters: check_status(PyList_Append(result, getattr(c.self(), name))); break;
        }
    }
    if (PyErr_Occurred()) raise();
    if (collect == Collect::Count) return check(PyLong_FromSsize_t(count));
    return result;
}

}  // namespace

Ref sheet_prefix_count(const Call& c) { return query(c, true, Collect::Count); }
Ref sheet_prefix_names(const Call& c) { return query(c, true, Collect::Names); }
Ref sheet_prefix_parameters(const Call& c) { return query(c, true, Collect::Parameters); }
Ref sheet_postfix_count(const Call& c) { return query(c, false, Collect::Count); }
Ref sheet_postfix_names(const Call& c) { return query(c, false, Collect::Names); }
Ref sheet_postfix_parameters(const Call& c) { return query(c, false, Collect::Parameters); }

}  // namespace tp
