import pytest

from orv_testparameters import Parameter, SheetParameters


def test_defaults():
    p = Parameter("p")
    assert (p.name, p.desc, p.value, p.low, p.up, p.unit, p.type) == ("p", "", None, None, None, "", "str")
    assert list(vars(p)) == ["name", "desc", "value", "low", "up", "unit", "type"]


def test_stores_the_very_objects():
    value, name = [1, 2], 12
    p = Parameter(name, value=value)
    assert p.value is value and p.name is name


@pytest.mark.parametrize("kwargs", [{"name": "p", "type": "int"}, {}, {"name": "p", "_type": "a", "desc": "d", "x": 1}])
def test_bad_argument_lists(kwargs):
    with pytest.raises(TypeError):
        Parameter(**kwargs)


def test_too_many_positional_and_twice_given():
    with pytest.raises(TypeError):
        Parameter(*range(8))
    with pytest.raises(TypeError):
        Parameter("p", name="q")


def test_identity_semantics():
    a, b = Parameter("p", value=1), Parameter("p", value=1)
    assert a != b and len({a: 1, b: 2}) == 2


def test_subclass_intercepting_assignment_stops_init():
    class Picky(Parameter):
        def __setattr__(self, key, value):
            if key == "low":
                raise RuntimeError("no low")
            object.__setattr__(self, key, value)

    p = Picky.__new__(Picky)
    with pytest.raises(RuntimeError):
        p.__init__("p", "d", 1, 2, 3)
    assert vars(p) == {"name": "p", "desc": "d", "value": 1}


def test_value_change_is_seen_by_the_table():
    sp = SheetParameters()
    rec = Parameter("p", value=1)
    sp.set_parameter(rec)
    rec.value = 5
    assert sp.get_value("p") == 5
