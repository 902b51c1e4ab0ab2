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

TP_ARGUMENTS(PrefixArgs, self, prefix);
TP_ARGUMENTS(PostfixArgs, self, postfix);

Ref query(const Call& c, PyObject* self, PyObject* affix, bool prefix, Collect collect) {
    const Names& n = c.n();
    PyObject* method = prefix ? n.startswith : n.endswith;
    const int direction = prefix ? -1 : 1;
    Ref names = getattr(self, n.all_names);
    Ref iter = check(PyObject_GetIter(names));
    Ref result;
    Py_ssize_t count = 0;
    if (collect != Collect::Count) result = check(PyList_New(0));
    while (Ref name = Ref::steal(PyIter_Next(iter))) {
        if (!matches(name, affix, method, direction)) continue;
        switch (collect) {
            case Collect::Count: ++count; break;
            case Collect::Names: check_status(PyList_Append(result, name)); break;
            case Collect::Parameters: check_status(PyList_Append(result, getattr(self, name))); break;
        }
    }
    if (PyErr_Occurred()) raise();
    if (collect == Collect::Count) return check(PyLong_FromSsize_t(count));
    return result;
}

template <Collect collect>
Ref prefix_query(const Call& c, const PrefixArgs& a) { return query(c, a.self, a.prefix, true, collect); }
template <Collect collect>
Ref postfix_query(const Call& c, const PostfixArgs& a) { return query(c, a.self, a.postfix, false, collect); }

}  // namespace

const Member kSheetPrefixCount = method<PrefixArgs, prefix_query<Collect::Count>>("get_prefix_count", "(self, prefix)");
const Member kSheetPrefixNames = method<PrefixArgs, prefix_query<Collect::Names>>("get_prefix_names", "(self, prefix)");
const Member kSheetPrefixParameters =
    method<PrefixArgs, prefix_query<Collect::Parameters>>("get_prefix_parameters", "(self, prefix)");
const Member kSheetPostfixCount =
    method<PostfixArgs, postfix_query<Collect::Count>>("get_postfix_count", "(self, postfix)");
const Member kSheetPostfixNames =
    method<PostfixArgs, postfix_query<Collect::Names>>("get_postfix_names", "(self, postfix)");
const Member kSheetPostfixParameters =
    method<PostfixArgs, postfix_query<Collect::Parameters>>("get_postfix_parameters", "(self, postfix)");

}  // namespace tp
