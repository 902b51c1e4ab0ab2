import inspect
import subprocess
import sys
import typing

import openpyxl
import pytest

import orv_testparameters as tp
from orv_testparameters import BookParameters, Parameter, SheetParameters

SHEET_MEMBERS = [
    "__init__", "sheet_name", "sheet_rename", "name", "parameter_names", "load", "set_parameter",
    "get_parameter", "get_prefix_count", "get_prefix_names", "get_prefix_parameters", "get_postfix_count",
    "get_postfix_names", "get_postfix_parameters", "has_parameter", "get_value", "get", "set_value", "set",
    "_parse_value", "save",
]
BOOK_MEMBERS = [
    "LIMIT_MODE_ABSOLUTE", "LIMIT_MODE_RELATIVE", "__init__", "get_all_sheet_names", "sheet_rename",
    "unload_sheet", "load_sheet", "has_sheet", "get_sheet_parameters", "get_parameter",
    "get_parameter_from_sheet", "has_parameter", "get_value", "get", "set_value", "set", "get_low", "get_up",
    "save", "save_as",
]

SIGNATURES = {
    (Parameter, "__init__"): "(self, name, desc='', value=None, low=None, up=None, unit='', _type='str')",
    (SheetParameters, "__init__"): "(self, support_eval=True)",
    (SheetParameters, "sheet_name"): "(self)",
    (SheetParameters, "sheet_rename"): "(self, new)",
    (SheetParameters, "load"): "(self, book, sheetname, max_empty_row=0)",
    (SheetParameters, "set_parameter"): "(self, *args, **kwargs)",
    (SheetParameters, "get_parameter"): "(self, name, raise_exception=True) -> orv_testparameters.Parameter",
    (SheetParameters, "get_prefix_count"): "(self, prefix)",
    (SheetParameters, "get_prefix_names"): "(self, prefix)",
    (SheetParameters, "get_prefix_parameters"): "(self, prefix)",
    (SheetParameters, "get_postfix_count"): "(self, postfix)",
    (SheetParameters, "get_postfix_names"): "(self, postfix)",
    (SheetParameters, "get_postfix_parameters"): "(self, postfix)",
    (SheetParameters, "has_parameter"): "(self, name)",
    (SheetParameters, "get_value"): "(self, name, default=None)",
    (SheetParameters, "set_value"): "(self, name, value)",
    (SheetParameters, "_parse_value"): "(self, variable_content, variableType, default_type='str')",
    (SheetParameters, "save"): "(self, book)",
    (BookParameters, "__init__"): "(self, bookname, support_eval=True)",
    (BookParameters, "get_all_sheet_names"): "(self)",
    (BookParameters, "sheet_rename"): "(self, old: 'unicode', new: 'unicode')",
    (BookParameters, "unload_sheet"): "(self, sheetname)",
    (BookParameters, "load_sheet"): "(self, sheetname)",
    (BookParameters, "has_sheet"): "(self, sheetname)",
    (BookParameters, "get_sheet_parameters"): "(self, sheetname, raise_exception=True)",
    (BookParameters, "get_parameter"): "(self, name, raise_exception=True) -> orv_testparameters.Parameter",
    (BookParameters, "get_parameter_from_sheet"): "(self, paraname, sheetname, raise_exception=True)",
    (BookParameters, "has_parameter"): "(self, name)",
    (BookParameters, "get_value"): "(self, name, default=None)",
    (BookParameters, "set_value"): "(self, name, value)",
    (BookParameters, "get_low"): "(self, name, default=None, mode: 'int' = 0)",
    (BookParameters, "get_up"): "(self, name, default=None, mode: 'int' = 0)",
    (BookParameters, "save"): "(self)",
    (BookParameters, "save_as"): "(self, book_name)",
}


def test_module_namespace_in_binding_order():
    names = [n for n in vars(tp) if n not in ("__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__")]
    assert names == ["__builtins__", "load_workbook", "Workbook", "List", "Parameter", "SheetParameters",
                     "BookParameters", "__test__"]
    import builtins

    assert tp.__builtins__ is builtins
    assert tp.load_workbook is openpyxl.load_workbook and tp.Workbook is openpyxl.Workbook
    assert tp.List is typing.List
    assert tp.__test__ == {} and tp.__doc__ is None


@pytest.mark.parametrize("cls, members", [
    (Parameter, ["__init__"]), (SheetParameters, SHEET_MEMBERS), (BookParameters, BOOK_MEMBERS)])
def test_class_shape(cls, members):
    own = [n for n in vars(cls) if n not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert own == members
    assert cls.__mro__ == (cls, object)
    assert cls.__doc__ is None and cls.__module__ == "orv_testparameters" and cls.__qualname__ == cls.__name__


@pytest.mark.parametrize("cls", [SheetParameters, BookParameters])
def test_aliases_are_the_same_functions(cls):
    assert cls.get is cls.get_value and cls.set is cls.set_value
    assert cls.get.__name__ == "get_value" and cls.set.__name__ == "set_value"


@pytest.mark.parametrize("cls, member", sorted(SIGNATURES, key=lambda k: (k[0].__name__, k[1])),
                         ids=lambda v: getattr(v, "__name__", v))
def test_function_attributes_and_signature(cls, member):
    fn = vars(cls)[member]
    # (older interpreters print annotated parameters without blanks)
    assert str(inspect.signature(fn)).replace(" ", "") == SIGNATURES[cls, member].replace(" ", "")
    assert fn.__name__ == member
    assert fn.__qualname__ == cls.__name__ + "." + member
    assert fn.__module__ == "orv_testparameters"
    assert fn.__doc__ is None and fn.__kwdefaults__ is None
    assert getattr(cls, member) is fn
    params = list(inspect.signature(fn).parameters.values())[1:]
    defaults = tuple(p.default for p in params if p.default is not inspect.Parameter.empty)
    assert fn.__defaults__ == (defaults or None)


def test_annotations():
    assert BookParameters.sheet_rename.__annotations__ == {"old": "unicode", "new": "unicode"}
    assert BookParameters.get_up.__annotations__ == {"mode": "int"}
    assert BookParameters.get_low.__annotations__ == {"mode": "int"}
    assert BookParameters.get_parameter.__annotations__["return"] is Parameter
    assert SheetParameters.get_parameter.__annotations__["return"] is Parameter
    assert SheetParameters.parameter_names.fget.__annotations__ == {"return": typing.List[str]}
    assert SheetParameters.get_value.__annotations__ == {}


def test_properties():
    name = vars(SheetParameters)["name"]
    assert isinstance(name, property) and name.fset is not None
    assert name.fget.__qualname__ == name.fset.__qualname__ == "SheetParameters.name"
    assert str(inspect.signature(name.fset)) == "(self, value)"
    names = vars(SheetParameters)["parameter_names"]
    assert isinstance(names, property) and names.fset is None
    assert str(inspect.signature(names.fget)) == "(self) -> List[str]"


def test_mode_default_is_captured():
    assert BookParameters.get_low.__defaults__ == (None, 0)
    assert BookParameters.get_up.__defaults__ == (None, 0)
    assert BookParameters.LIMIT_MODE_ABSOLUTE == 0 and BookParameters.LIMIT_MODE_RELATIVE == 1


def test_methods_bind_like_python_functions():
    sp = SheetParameters()
    bound = sp.sheet_name
    assert inspect.ismethod(bound) and bound.__self__ is sp and bound.__func__ is SheetParameters.sheet_name
    assert str(inspect.signature(bound)) == "()"
    assert SheetParameters.sheet_name.__get__(None, SheetParameters) is SheetParameters.sheet_name


def test_help_reads_like_a_python_class():
    import pydoc

    text = pydoc.render_doc(SheetParameters, renderer=pydoc.plaintext)
    assert "get_value(self, name, default=None)" in text
    assert "get = get_value(self, name, default=None)" in text
    assert "set_parameter(self, *args, **kwargs)" in text


BLOCK_OPENPYXL = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name == "openpyxl" or name.startswith("openpyxl."):
            raise ModuleNotFoundError("No module named %r" % name, name=name)
    find_module = None
sys.meta_path.insert(0, Block())
try:
    import orv_testparameters
except ModuleNotFoundError as e:
    print("ERR", e.name)
print("bound" if "orv_testparameters" in sys.modules else "unbound")
"""


def test_import_without_openpyxl_fails_with_the_import_error():
    out = subprocess.run([sys.executable, "-c", BLOCK_OPENPYXL], stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    assert out.split() == ["ERR", "openpyxl", "unbound"]
