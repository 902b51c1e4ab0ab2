// SheetParameters: the table of one worksheet's parameters, registered under
// their names as attributes of the table and listed in `_all_names`.
#include "module/members.hpp"
#include "sheet/names.hpp"
#include "sheet/register.hpp"

namespace tp {
namespace {

// Whether the interpreter runs with assertions enabled (not -O), asked at call time.
bool assertions_enabled(const Names& n) {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) return true;
    return !truth(getattr(flags, n.optimize));
}

TP_ARGUMENTS(SelfArgs, self);
TP_ARGUMENTS(InitArgs, self, support_eval);
TP_ARGUMENTS(RenameArgs, self, new_);
TP_ARGUMENTS(NameSetArgs, self, value);
TP_ARGUMENTS(SetParameterArgs, self, args, kwargs);
TP_ARGUMENTS(GetParameterArgs, self, name, raise_exception);
TP_ARGUMENTS(NameArgs, self, name);
TP_ARGUMENTS(GetValueArgs, self, name, default_);
TP_ARGUMENTS(SetValueArgs, self, name, value);

Ref init(const Call& c, const InitArgs& a) {
    const Names& n = c.n();
    Ref names = check(PyList_New(0));
    setattr(a.self, n.all_names, names);
    setattr(a.self, n.sheet_support_eval, a.support_eval);
    setattr(a.self, n.sheet_name_attr, Py_None);
    return none();
}

// sheet_name() and the name property's getter
Ref name_of(const Call& c, const SelfArgs& a) { return getattr(a.self, c.n().sheet_name_attr); }

Ref rename(const Call& c, const RenameArgs& a) {
    if (assertions_enabled(c.n())) {
        if (!isinstance(a.new_, reinterpret_cast<PyObject*>(&PyUnicode_Type)) || eq(a.new_, c.n().empty)) {
            PyErr_SetNone(PyExc_AssertionError);
            raise();
        }
    }
    setattr(a.self, c.n().sheet_name_attr, a.new_);
    return none();
}

// The name property's setter goes through the table's own sheet_rename.
Ref name_set(const Call& c, const NameSetArgs& a) {
    call_method(a.self, c.n().sheet_rename, a.value);
    return none();
}

// parameter_names (read-only property): a copy of the name list
Ref parameter_names(const Call& c, const SelfArgs& a) {
    Ref names = getattr(a.self, c.n().all_names);
    return check(PySequence_List(names));
}

Ref set_parameter(const Call& c, const SetParameterArgs& a) {
    const Names& n = c.n();
    Ref record;
    Ref parameter_class = c.global(n.Parameter);
    if (PyTuple_GET_SIZE(a.args) > 0 && isinstance(PyTuple_GET_ITEM(a.args, 0), parameter_class)) {
        record = Ref::borrow(PyTuple_GET_ITEM(a.args, 0));
    } else {
        record = check(PyObject_Call(parameter_class, a.args, PyDict_Size(a.kwargs) ? a.kwargs : nullptr));
    }
    Ref name = sheet::assign_record(c, record);
    Ref names = getattr(a.self, n.all_names);
    sheet::add_name(c, names, name);
    return none();
}

Ref get_parameter(const Call& c, const GetParameterArgs& a) {
    if (!truth(call_method(a.self, c.n().has_parameter, a.name))) {
        if (truth(a.raise_exception)) raise(PyExc_ValueError, "Unknown parameter name.");
        return none();
    }
    return getattr(a.self, a.name);
}

Ref has_parameter(const Call& c, const NameArgs& a) {
    Ref names = getattr(a.self, c.n().all_names);
    return boolean(sheet::has_name(c, names, a.name));
}

Ref get_value(const Call& c, const GetValueArgs& a) {
    Ref names = getattr(a.self, c.n().all_names);
    if (!sheet::has_name(c, names, a.name)) return Ref::borrow(a.default_);
    Ref value = getattr(getattr(a.self, a.name), c.n().value);
    if (value.get() == Py_None && a.default_ != Py_None) return Ref::borrow(a.default_);
    return value;
}

Ref set_value(const Call& c, const SetValueArgs& a) {
    Ref record = call_method(a.self, c.n().get_parameter, a.name);
    setattr(record, c.n().value, a.value);
    return none();
}

}  // namespace

const Member kSheetInit = method<InitArgs, init>("__init__", "(self, support_eval=True)");
const Member kSheetName = method<SelfArgs, name_of>("sheet_name", "(self)");
const Member kSheetRename = method<RenameArgs, rename>("sheet_rename", "(self, new)");
const Member kSheetNameGet = getter<SelfArgs, name_of>("name", "(self)");
const Member kSheetNameSet = setter<NameSetArgs, name_set>("name", "(self, value)");
const Member kSheetParameterNames = getter<SelfArgs, parameter_names>("parameter_names", "(self) -> List[str]");
const Member kSheetSetParameter = method<SetParameterArgs, set_parameter>("set_parameter", "(self, *args, **kwargs)");
const Member kSheetGetParameter =
    method<GetParameterArgs, get_parameter>("get_parameter", "(self, name, raise_exception=True) -> Parameter");
const Member kSheetHasParameter = method<NameArgs, has_parameter>("has_parameter", "(self, name)");
const Member kSheetGetValue = method<GetValueArgs, get_value>("get_value", "(self, name, default=None)");
const Member kSheetGet = alias("get", "get_value");
const Member kSheetSetValue = method<SetValueArgs, set_value>("set_value", "(self, name, value)");
const Member kSheetSet = alias("set", "set_value");

}  // namespace tp
