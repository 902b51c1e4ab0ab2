import subprocess
import sys

import pytest

import orv_testparameters as tp
from orv_testparameters import Parameter, SheetParameters


@pytest.fixture
def sp():
    table = SheetParameters()
    for name in ("X", "Y", "Z"):
        table.set_parameter(name, "desc " + name, ord(name))
    return table


def test_new_table():
    t = SheetParameters()
    assert list(vars(t)) == ["_all_names", "_SheetParameters__support_eval", "_sheet_name"]
    assert t.sheet_name() is None and t.name is None and t.parameter_names == []
    assert t.has_parameter("x") is False
    assert t.get_value("x") is None and t.get_value("x", 7) == 7


def test_registration_order_and_replacement(sp):
    new_y = Parameter("Y", value=99)
    sp.set_parameter(new_y)
    assert sp.parameter_names == ["X", "Y", "Z"]
    assert sp.get_parameter("Y") is new_y and sp.Y is new_y


def test_set_parameter_with_a_record_ignores_the_rest():
    t = SheetParameters()
    rec = Parameter("r", value=1)
    t.set_parameter(rec, "other", 5, value=7, bogus=1)
    assert t.get_parameter("r") is rec and rec.value == 1


@pytest.mark.parametrize("args, kwargs", [(("Vcc", "Supply", 3.3), {}), ((), {"name": "Vcc", "desc": "Supply", "value": 3.3})])
def test_set_parameter_builds_a_record(args, kwargs):
    t = SheetParameters()
    t.set_parameter(*args, **kwargs)
    rec = t.get_parameter("Vcc")
    assert type(rec) is Parameter and (rec.desc, rec.value) == ("Supply", 3.3)


def test_set_parameter_uses_the_module_parameter_at_call_time(monkeypatch):
    class Other:
        def __init__(self, name, **kw):
            self.name = name

    monkeypatch.setattr(tp, "Parameter", Other)
    t = SheetParameters()
    t.set_parameter("a")
    assert type(t.get_parameter("a")) is Other


def test_parameter_names_is_a_fresh_copy(sp):
    names = sp.parameter_names
    names.append("W")
    assert sp.parameter_names == ["X", "Y", "Z"] and sp.parameter_names is not sp.parameter_names


@pytest.mark.parametrize("flag", [False, 0, None, ""])
def test_get_parameter_missing(sp, flag):
    assert sp.get_parameter("nope", flag) is None
    with pytest.raises(ValueError, match=r"^Unknown parameter name\.$"):
        sp.get_parameter("nope")


def test_get_value_defaults():
    t = SheetParameters()
    t.set_parameter("none", value=None)
    t.set_parameter("zero", value=0)
    assert t.get_value("none") is None and t.get_value("none", 7) == 7
    assert t.get_value("zero", 7) == 0


def test_set_value(sp):
    sp.set_parameter("n", _type="int")
    sp.set_value("n", "text")
    assert sp.get_value("n") == "text"
    with pytest.raises(ValueError, match=r"^Unknown parameter name\.$"):
        sp.set("missing", 1)
    assert not sp.has_parameter("missing")


def test_names_with_spaces_and_renamed_records(sp):
    sp.set_parameter("Supply voltage", value=5)
    assert sp.get_parameter("Supply voltage").value == 5
    sp.X.name = "renamed"
    assert sp.has_parameter("X") and not sp.has_parameter("renamed")


@pytest.mark.parametrize("reserved", ["parameter_names", "name", "get", "set", "load", "save", "sheet_name",
                                      "__class__", "__dict__", "_all_names", "_sheet_name",
                                      "_SheetParameters__support_eval", "get_value"])
def test_reserved_names_are_refused(sp, reserved):
    before = dict(vars(sp))
    with pytest.raises(AttributeError, match="reserved"):
        sp.set_parameter(reserved)
    assert vars(sp) == before and sp.parameter_names == ["X", "Y", "Z"]


def test_reserved_names_follow_the_subclass():
    class Mine(SheetParameters):
        extra = 1

    with pytest.raises(AttributeError, match="reserved"):
        Mine().set_parameter("extra")
    t = SheetParameters()
    t.set_parameter("extra")
    assert t.has_parameter("extra")


def test_non_text_name_is_refused_by_attribute_assignment(sp):
    with pytest.raises(TypeError):
        sp.set_parameter(Parameter(5))
    assert sp.parameter_names == ["X", "Y", "Z"]


def test_overrides_are_called_through_the_instance():
    calls = []

    class Mine(SheetParameters):
        def has_parameter(self, name):
            calls.append(("has", name))
            return super().has_parameter(name)

        def get_parameter(self, name, raise_exception=True):
            calls.append(("get", name))
            return super().get_parameter(name, raise_exception)

        def sheet_rename(self, new):
            calls.append(("rename", new))
            super().sheet_rename(new)

    t = Mine()
    t.set_parameter("a")
    t.set_value("a", 1)
    t.name = "S"
    assert calls == [("get", "a"), ("has", "a"), ("rename", "S")]
    assert t.sheet_name() == "S"


@pytest.mark.parametrize("bad", ["", 5, None, b"x"])
def test_sheet_rename_assertions(bad):
    t = SheetParameters()
    with pytest.raises(AssertionError) as info:
        t.sheet_rename(bad)
    assert info.value.args == ()
    with pytest.raises(AssertionError):
        t.name = bad
    assert t.sheet_name() is None


def test_sheet_rename_without_assertions():
    code = ("import orv_testparameters as m; t = m.SheetParameters(); t.sheet_rename(5); t.name = ''; "
            "print(repr(t.sheet_name()))")
    out = subprocess.run([sys.executable, "-O", "-c", code], stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    assert out.strip() == "''"


def test_parameter_names_is_read_only(sp):
    with pytest.raises(AttributeError):
        sp.parameter_names = []


NAMES = ["VDD_min", "VDD_max", "IDD_max"]


@pytest.mark.parametrize("method, arg, expected", [
    ("prefix", "VDD", ["VDD_min", "VDD_max"]),
    ("postfix", "_max", ["VDD_max", "IDD_max"]),
    ("prefix", "vdd", []),
    ("prefix", "", NAMES),
    ("postfix", "", NAMES),
    ("prefix", ("VDD", "IDD"), NAMES),
    ("postfix", ("min",), ["VDD_min"]),
])
def test_prefix_postfix_queries(method, arg, expected):
    t = SheetParameters()
    for n in NAMES:
        t.set_parameter(n)
    assert getattr(t, "get_%s_count" % method)(arg) == len(expected)
    names = getattr(t, "get_%s_names" % method)(arg)
    assert names == expected and names is not getattr(t, "get_%s_names" % method)(arg)
    assert getattr(t, "get_%s_parameters" % method)(arg) == [getattr(t, n) for n in expected]


@pytest.mark.parametrize("bad", [5, None, ["VDD"], (3, "VDD")])
def test_query_with_a_bad_argument(bad):
    t = SheetParameters()
    assert t.get_prefix_count(bad) == 0 and t.get_postfix_names(bad) == []
    t.set_parameter("VDD")
    for method in ("get_prefix_count", "get_postfix_names", "get_prefix_parameters"):
        with pytest.raises(TypeError):
            getattr(t, method)(bad)


def test_queries_use_registered_keys_and_str_subclasses():
    class Loud(str):
        def startswith(self, prefix):
            return True

    t = SheetParameters()
    t.set_parameter("a")
    t.set_parameter(Loud("b"))
    t.a.name = "zzz"
    assert t.get_prefix_names("a") == ["a", "b"]



class Sub(SheetParameters):
    pass


def _swap_class(t, mp):
    t.__class__ = type("Other", (SheetParameters,), {"sheet_name": lambda self: "new"})


ONE, ALL = ["S0", "new", "S2"], ["new"] * 3


@pytest.mark.parametrize("change, titles", [
    (lambda t, mp: setattr(t, "_sheet_name", "new"), ONE),
    (lambda t, mp: t.sheet_rename("new"), ONE),
    (lambda t, mp: t.__dict__.__setitem__("_sheet_name", "new"), ONE),
    (lambda t, mp: setattr(t, "__dict__", dict(vars(t), _sheet_name="new")), ONE),
    (lambda t, mp: setattr(t, "sheet_name", lambda: "new"), ONE),
    (_swap_class, ONE),
    (lambda t, mp: mp.setattr(SheetParameters, "sheet_name", lambda self: "new"), ALL),
    (lambda t, mp: mp.setattr(Sub, "sheet_name", lambda self: "new", raising=False), ALL),
    (lambda t, mp: mp.setattr(Sub, "_sheet_name", property(lambda self: "new"), raising=False), ALL),
])
@pytest.mark.parametrize("size", [0, 40])  # 40: the table's namespace outgrows the shared layout
def test_book_titles_follow_every_change_of_a_table(change, titles, size, monkeypatch):
    """get_all_sheet_names remembers each table's title between calls; any
    change that alters what sheet_name() answers is seen at once."""
    book = tp.BookParameters("unused.xlsx")
    tables = [Sub() for _ in range(3)]
    for i, t in enumerate(tables):
        t.sheet_rename("S%d" % i)
        for k in range(size):
            t.set_parameter("P%d" % k)
        book._BookParameters__all_sheet_parameters.append(t)
    for _ in range(3):
        assert book.get_all_sheet_names() == ["S0", "S1", "S2"]
    change(tables[1], monkeypatch)
    assert book.get_all_sheet_names() == titles
    assert book.get_sheet_parameters("new") is tables[titles.index("new")]
