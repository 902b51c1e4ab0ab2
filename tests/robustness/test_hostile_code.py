"""Caller code that runs in the middle of the module's own work (a key's
__eq__, an eval cell, an override) and changes what the module is walking."""

import io

import openpyxl
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import childrun
import xlsxgen as g
from orv_testparameters import SheetParameters

# A class-dict key whose __eq__ gives the class new bases while the reserved
# name check walks the class's MRO. The MRO is longer than the tuples the
# interpreter keeps for reuse, so the old one is really freed; the debug
# allocator fills freed memory, so a walk over the freed tuple goes astray
# (and AddressSanitizer reports it).
MRO_CHANGED_MID_WALK = r"""
import json
import orv_testparameters as tp

mixins = [type("M%d" % i, (), {}) for i in range(30)]
Base = type("Base", tuple(mixins) + (tp.SheetParameters,), {})
Other = type("Other", (tp.SheetParameters,), {})
armed = []

class Key:
    def __init__(self, name):
        self.name = name
    def __hash__(self):
        return hash(self.name)
    def __eq__(self, other):
        if armed:
            armed.pop()
            X.__bases__ = (Other,)
        return NotImplemented

report = {}
for name in ("get_value", "free_name"):
    X = type("X", (Base,), {Key(name): 1})
    table = X()
    armed.append(1)
    try:
        table.set_parameter(name, "d", 1)
        report[name] = ["registered", table.parameter_names]
    except AttributeError as exc:
        report[name] = ["refused", str(exc)]
    report[name].append([c.__name__ for c in X.__mro__][:2])
print(json.dumps(report))
"""


def test_reserved_name_check_survives_bases_changed_mid_walk():
    code, report, out, err = childrun.run_json(
        MRO_CHANGED_MID_WALK, timeout=120, env={"PYTHONMALLOC": "debug"})
    assert code == 0 and report is not None, "%s\n%s\n%s" % (childrun.describe_exit(code), out, err[-3000:])
    # The walk goes on along the MRO it started with, as the interpreter's
    # own attribute look-up does: get_value is found on SheetParameters.
    assert report["get_value"][0] == "refused", report
    assert report["free_name"][:2] == ["registered", ["free_name"]], report
    assert report["get_value"][2] == ["X", "Other"], report


ATTRS = ("name", "desc", "value", "low", "up", "unit", "type")


class ThroughSetParameter(SheetParameters):
    """Registers through an override, so that loading cannot take a short cut."""

    def set_parameter(self, *args, **kwargs):
        return super().set_parameter(*args, **kwargs)


NAMES = ["A", "B", "C", "Q", " A", "get_value", 5]
# Eval cells that change the table while it loads. Each leaves a value behind.
MEDDLING = [
    "self._all_names.__setitem__(0, 'Q') or 1",
    "self._all_names.append('C') or 2",
    "self._all_names.insert(0, 'B') or 3",
    "self._all_names.reverse() or 4",
    "self._all_names.clear() or 5",
    "self._all_names.pop() if self._all_names else 6",
    "setattr(self, '_all_names', ['C'] + self._all_names) or 7",
    "self._all_names.__setitem__(slice(None), ['A', 'C'][:len(self._all_names)]) or 8",
    "self.__dict__.pop('A', None) and 9",
    "setattr(self, 'B', 'not a record') or 10",
]

row = st.tuples(
    st.sampled_from(NAMES),
    st.one_of(st.sampled_from(MEDDLING).map(lambda code: (code, "eval")),
              st.sampled_from([("1", "int"), ("2*3", "int"), (" x ", "str"), ("2.5", "float"), ("[1]", "eval")])),
)


def workbook(rows):
    data = [g.HEADER] + [("d%d" % i, value, None, None, "V", name, vtype)
                         for i, (name, (value, vtype)) in enumerate(rows)]
    return g.build_xlsx([("S", data)])


def outcome(cls, data, read_only):
    table = cls()
    book = openpyxl.load_workbook(io.BytesIO(data), read_only=read_only, data_only=True)
    try:
        table.load(book, "S")
        error = None
    except Exception as exc:
        error = (type(exc), str(exc))
    names = list(table._all_names)
    records = [(repr(n), [repr(getattr(getattr(table, n, None), a, None)) for a in ATTRS])
               for n in names if isinstance(n, str)]
    return error, names, records


@pytest.mark.parametrize("read_only", [True, False], ids=["read_only", "editable"])
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(rows=st.lists(row, min_size=1, max_size=8))
def test_load_registers_what_set_parameter_would(read_only, rows):
    data = workbook(rows)
    assert outcome(SheetParameters, data, read_only) == outcome(ThroughSetParameter, data, read_only)


def test_eval_cell_that_rewrites_an_entry_of_the_name_list():
    data = workbook([("A", ("1", "int")), ("B", ("self._all_names.__setitem__(0, 'Q')", "eval")),
                     ("A", ("2", "int"))])
    for read_only in (True, False):
        assert outcome(SheetParameters, data, read_only)[1] == ["Q", "B", "A"]


class CollidingKey:
    """A key of the table's own namespace whose == renames the first name."""

    def __init__(self, table):
        self.table = table

    def __hash__(self):
        return hash("C")

    def __eq__(self, other):
        names = self.table._all_names
        if names and "X" not in names:
            names[0] = "X"
        return NotImplemented


class Dying:
    """An attribute value whose finalizer renames the first name when a row
    of the same name replaces it."""

    def __init__(self, table):
        self.table = table

    def __del__(self):
        self.table._all_names[0] = "C"


@pytest.mark.parametrize("prepare", [
    lambda t: t.__dict__.__setitem__(CollidingKey(t), 1),
    lambda t: setattr(t, "B", Dying(t)),
], ids=["colliding_key", "finalizer"])
def test_code_run_by_the_table_namespace_is_seen(prepare):
    data = workbook([(n, ("1", "int")) for n in "ABCD"])
    results = []
    for cls in (SheetParameters, ThroughSetParameter):
        table = cls(False)
        prepare(table)
        table.load(openpyxl.load_workbook(io.BytesIO(data), read_only=True, data_only=True), "S")
        results.append(list(table._all_names))
    assert results[0] == results[1]


class HugeSheetList:
    """Loaded sheets as a sequence longer than a C int counts; the last one
    holds the parameter."""

    def __init__(self, table):
        self.table = table

    def __len__(self):
        return 2 ** 32 + 1

    def __getitem__(self, index):
        return self.table if index == 2 ** 32 else SheetParameters()


def test_book_look_up_counts_a_sequence_longer_than_an_int():
    from orv_testparameters import BookParameters
    table = SheetParameters()
    table.set_parameter("X", value=7)
    book = BookParameters("unused.xlsx")
    book._BookParameters__all_sheet_parameters = HugeSheetList(table)
    assert book.get_value("X") == 7
