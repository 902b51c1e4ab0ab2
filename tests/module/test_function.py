import inspect
import weakref

import pytest

import orv_testparameters as tp
from orv_testparameters import BookParameters, Parameter, SheetParameters

FUNCTIONS = [
    (cls, name, fn)
    for cls in (Parameter, SheetParameters, BookParameters)
    for name, fn in vars(cls).items()
    if type(fn).__name__ == "function" and type(fn).__module__ == "orv_testparameters"
]


def python_twin(cls, fn):
    """A plain Python function with the same parameter list and qualified name."""
    sig = inspect.signature(fn).replace(return_annotation=inspect.Signature.empty)
    sig = sig.replace(parameters=[p.replace(annotation=inspect.Parameter.empty) for p in sig.parameters.values()])
    params = str(sig).replace("=", "=__d_")  # defaults become placeholders
    namespace = {"__d_" + repr(p.default): p.default for p in sig.parameters.values()}
    src = "def %s%s:\n    raise AssertionError('body ran')\n" % (fn.__name__, params)
    src = src.replace("=__d_", "=")
    exec(src, {}, namespace)
    twin = namespace[fn.__name__]
    twin.__qualname__ = fn.__qualname__
    return twin


BAD_CALLS = [
    ((), {}),
    ((1,) * 9, {}),
    ((1,), {"no_such_argument": 1}),
    ((1, 2), {"self": 3}),
    ((), {"self": 1, "zzz": 2, "yyy": 3}),
    ((1, 2, 3, 4), {"name": 5}),
]


@pytest.mark.parametrize("cls, name, fn", FUNCTIONS, ids=lambda v: getattr(v, "__qualname__", v))
@pytest.mark.parametrize("args, kwargs", BAD_CALLS)
def test_bad_calls_raise_the_interpreters_message(cls, name, fn, args, kwargs):
    twin = python_twin(cls, fn)
    try:
        twin(*args, **kwargs)
    except TypeError as e:
        expected = str(e)
    except AssertionError:
        pytest.skip("a valid call for this signature")
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == expected


def test_keyword_and_positional_binding():
    p = Parameter(name="p", _type="int", unit="V")
    assert (p.name, p.desc, p.value, p.low, p.up, p.unit, p.type) == ("p", "", None, None, None, "V", "int")
    p = Parameter(*"abcdefg")
    assert [p.name, p.desc, p.value, p.low, p.up, p.unit, p.type] == list("abcdefg")
    sp = SheetParameters(support_eval=0)
    assert sp._SheetParameters__support_eval == 0 and type(sp._SheetParameters__support_eval) is int
    sp.set_parameter("x", value=5)
    assert SheetParameters.get_value(self=sp, name="x") == 5
    assert sp.get(default=3, name="missing") == 3


def test_defaults_can_be_replaced_like_a_python_functions():
    fn = SheetParameters.get_value
    saved = fn.__defaults__
    try:
        fn.__defaults__ = (42,)
        assert SheetParameters().get_value("missing") == 42
        fn.__defaults__ = None
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'default'"):
            SheetParameters().get_value("missing")
        with pytest.raises(TypeError):
            fn.__defaults__ = [1]
    finally:
        fn.__defaults__ = saved
    assert SheetParameters().get_value("missing") is None


def test_function_object_protocol():
    fn = SheetParameters.get_value
    assert repr(fn).startswith("<function SheetParameters.get_value at ")
    assert weakref.ref(fn)() is fn
    assert fn.__globals__ is vars(tp)
    assert fn.__code__.co_varnames[:3] == ("self", "name", "default")
    fn.__dict__["marker"] = 1
    assert fn.marker == 1
    del fn.__dict__["marker"]


def test_limit_mode_default_does_not_follow_the_class_constant():
    saved = BookParameters.LIMIT_MODE_ABSOLUTE
    try:
        BookParameters.LIMIT_MODE_ABSOLUTE = 5
        assert BookParameters.get_low.__defaults__ == (None, 0)
    finally:
        BookParameters.LIMIT_MODE_ABSOLUTE = saved


@pytest.mark.parametrize("cls, name, fn", FUNCTIONS, ids=lambda v: getattr(v, "__qualname__", v))
def test_any_self_is_survived(cls, name, fn):
    """Calling any method on a foreign object raises a Python error, never crashes."""
    nargs = len(inspect.signature(fn).parameters) - 1
    for this in (None, 42, "text", [], object()):
        if name == "set_parameter":
            args = ("x",)
        else:
            args = (this,) * max(0, nargs - len(fn.__defaults__ or ()))
        try:
            fn(this, *args)
        except Exception:
            pass
