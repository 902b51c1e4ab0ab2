"""Repeating the in-memory operations, with good and bad arguments, must not
grow memory or the reference counts of the objects passed in."""
import gc
import sys
import tracemalloc

import pytest

from orv_testparameters import BookParameters, Parameter, SheetParameters


class Name(str):
    """A name object of our own, so that its reference count is ours alone."""


def make_table():
    t = SheetParameters()
    for i in range(20):
        t.set_parameter("p%d" % i, "d", i, -1, 1, "V", "int")
    return t


def ops(t, name, value, other):
    def swallow(fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except Exception:
            pass

    t.set_parameter(name, "desc", value)
    t.set_parameter(Parameter(name, value=value), other, value=value)
    t.get_parameter(name)
    t.get_parameter(other, False)
    swallow(t.get_parameter, other)
    t.has_parameter(name)
    t.has_parameter(other)
    t.get_value(name, other)
    t.get_value(other, value)
    t.set_value(name, value)
    swallow(t.set_value, other, value)
    t.get_prefix_names(name)
    t.get_postfix_parameters((name, "x"))
    t.get_prefix_count(other)
    swallow(t.get_prefix_names, value)
    t.parameter_names
    t.name = name
    swallow(t.sheet_rename, value)
    swallow(SheetParameters.get_value, value, name)
    swallow(t.get_value)
    swallow(t.get_value, name, value, other, kw=value)
    swallow(t.set_parameter, name, bogus=value)
    swallow(t.set_parameter, "get")
    swallow(t.set_parameter, Parameter(value))
    swallow(Parameter, name, value=value, type=value)


@pytest.mark.parametrize("rounds", [3000])
def test_no_growth(rounds):
    t = make_table()
    name, other = Name("leak_probe"), Name("absent")
    value = object()
    for _ in range(50):
        ops(t, name, value, other)
    gc.collect()
    counts = [sys.getrefcount(o) for o in (name, other, value)]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(rounds):
        ops(t, name, value, other)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in (name, other, value)] == counts
    assert grown < 64 * 1024, grown


def test_book_construction_does_not_leak():
    name, flag = Name("book.xlsx"), object()
    BookParameters(name, flag)
    gc.collect()
    counts = sys.getrefcount(name), sys.getrefcount(flag)
    for _ in range(2000):
        BookParameters(name, flag)
        BookParameters(bookname=name, support_eval=flag)
        try:
            BookParameters(name, flag, 3)
        except TypeError:
            pass
    gc.collect()
    assert (sys.getrefcount(name), sys.getrefcount(flag)) == counts
