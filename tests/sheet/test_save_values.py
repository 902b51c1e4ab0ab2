"""What the sheet save writes: cells the caller did not change stay as they
were, values are written so that loading reads them back, and only the rows
of the table change."""
import datetime
import gc
import math
import sys
import weakref

import openpyxl
import pytest

from orv_testparameters import Parameter, SheetParameters

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")


def book(*rows, title="Supply"):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = title
    ws.append(HEADER)
    for r in rows:
        ws.append(list(r))
    return wb


def loaded(wb, max_empty_row=0, title="Supply"):
    t = SheetParameters()
    t.load(wb, title, max_empty_row)
    return t


def snapshot(ws):
    return {k: (c.value, c.data_type) for k, c in ws._cells.items()}


# --- cells the caller did not change

def edit(t, ws, change):
    if change == "value":
        t.set_value("A", 7.0)
    elif change == "in place":
        t.get_value("L").append(3)
    elif change == "type":
        t.get_parameter("A").type = "Float"
    elif change == "edited since load":
        ws.cell(row=2, column=2).value = 99
    elif change == "moved":
        t._all_names.reverse()


@pytest.mark.parametrize("change, cell, written", [
    (None, (2, 2), "=1+2"),
    ("value", (2, 2), 7.0),                 # a new object, even an equal one
    ("in place", (3, 2), "[1, 2, 3]"),      # a list changed where it is
    ("type", (2, 2), 3.0),                  # a new type writes Value, Low and Up again
    ("edited since load", (2, 2), 3.0),     # the cell no longer holds what was loaded
    ("moved", (2, 2), "[1, 2]"),            # written to another row than it came from
])
def test_what_makes_a_cell_be_written(change, cell, written):
    wb = book(("a", 3.0, None, None, None, "A", "float"), ("b", "[1, 2]", None, None, None, "L", "eval"))
    ws = wb["Supply"]
    t = loaded(wb)
    ws.cell(row=2, column=2).value = "=1+2"  # a formula, whose last result loading read
    edit(t, ws, change)
    t.save(wb)
    assert ws.cell(row=cell[0], column=cell[1]).value == written
    assert ws.cell(row=2, column=1).value == ("b" if change == "moved" else "a")


def test_the_record_keeps_no_table_alive():
    wb = book(("me", "self", None, None, None, "ME", "eval"), ("l", "[self]", None, None, None, "L", "eval"))
    t = loaded(wb)
    assert t.get_value("ME") is t
    ref = weakref.ref(t)
    del t
    gc.collect()
    assert ref() is None


# --- the forms values are written in

NAN = float("nan")


@pytest.mark.parametrize("_type, value, cell, back", [
    ("int", 0xFFFFFFFFFFFFFFFF, "18446744073709551615", 0xFFFFFFFFFFFFFFFF),
    ("float", 10 ** 400, "1" + "0" * 400, float("inf")),
    (" Int", 2 ** 53, 2 ** 53, 2 ** 53),
    ("float", float("inf"), "inf", float("inf")),
    ("float", -float("inf"), "-inf", -float("inf")),
    ("float", NAN, "nan", NAN),
    ("bool", float("inf"), "inf", False),
    (None, 5, 5, "5"),                        # a number, read back as the text "5"
    ("str", 3.0, "3.0", "3.0"),               # as a number it would come back as "3"
    ("bytes", -0.0, "-0.0", b"-0.0"),
    ("str", 2.5, 2.5, "2.5"),
    ("string", 2 ** 60, str(2 ** 60), str(2 ** 60)),
    ("str", datetime.time(7, 8, 9, 123456), "07:08:09.123456", "07:08:09.123456"),
    ("str", datetime.date(2024, 5, 6), "2024-05-06", "2024-05-06"),
    ("auto", datetime.datetime(2024, 5, 6, 7, 8, 9, 123000), datetime.datetime(2024, 5, 6, 7, 8, 9, 123000),
     datetime.datetime(2024, 5, 6, 7, 8, 9, 123000)),
    ("eval", "GPIB0::5::INSTR", "'GPIB0::5::INSTR'", "GPIB0::5::INSTR"),
    ("EVAL ", {"a": (1, [2.5, None]), "b": {1, 2}}, "{'a': (1, [2.5, None]), 'b': {1, 2}}",
     {"a": (1, [2.5, None]), "b": {1, 2}}),
    ("eval", 10 ** 20, "100000000000000000000", 10 ** 20),
])
def test_values_are_written_so_that_loading_reads_them_back(_type, value, cell, back):
    wb = book(("d", None, None, None, None, "X", _type))
    t = loaded(wb)
    t.set_value("X", value)
    t.save(wb)
    assert wb["Supply"].cell(row=2, column=2).value == cell
    got = loaded(wb).get_value("X")
    assert type(got) is type(back)
    assert got == back or (math.isnan(got) and math.isnan(back))


REFUSED = [
    ("int", float("inf"), r"inf cannot be stored .* \"int\""),
    ("int", NAN, "nan cannot be stored"),
    ("auto", 2 ** 53 + 1, "up to 2\\*\\*53"),
    ("auto", -float("inf"), "a number cell cannot hold it"),
    ("eval", NAN, "literal_eval"),
    ("eval", [1, NAN], "literal_eval"),
    ("eval", object(), "literal_eval"),
    ("eval", datetime.date(2024, 1, 2), "literal_eval"),
    ("str", "x" * 32768, "32767 characters"),
    ("eval", "y" * 32767, "32767 characters"),
]
if hasattr(sys, "get_int_max_str_digits"):
    REFUSED.append(pytest.param("int", 10 ** 5000, "limits integer digits", id="int-10**5000"))
# Past 10000 digits an "int" cell no longer loads with support_eval=False;
# interpreters that limit integer digits refuse to make the text first.
REFUSED.append(pytest.param("int", 10 ** 10000, "(limits integer digits|10000 characters)", id="int-10**10000"))


@pytest.mark.parametrize("_type, value, match", REFUSED)
def test_values_that_cannot_read_back_are_refused_and_nothing_is_written(_type, value, match):
    wb = book(("d", 1, None, None, None, "A", "int"), ("d", None, None, None, None, "X", _type))
    t = loaded(wb)
    t.set_value("A", 2)
    t.set_value("X", value)
    before = snapshot(wb["Supply"])
    with pytest.raises(ValueError, match=r"^Supply!B3 \(parameter X\): .*" + match):
        t.save(wb)
    assert snapshot(wb["Supply"]) == before


@pytest.mark.parametrize("value, error, located_by", [
    ([1, 2], ValueError, "message"),
    ("bell\x07", openpyxl.utils.exceptions.IllegalCharacterError, "message"),
    (b"\xff\xfe", UnicodeDecodeError, "note"),
])
def test_library_errors_name_the_cell(value, error, located_by):
    wb = book(("d", 1, None, None, None, "X", "str"), title="My sheet")
    t = loaded(wb, title="My sheet")
    t.set_value("X", value)
    with pytest.raises(error) as info:
        t.save(wb)
    assert type(info.value) is error
    where = "'My sheet'!B2 (parameter X)"
    if located_by == "message":
        assert str(info.value).startswith(where + ": ")
    else:
        assert where in getattr(info.value, "__notes__", [])


# --- the rows a save changes

def r(name, value=1, desc="d"):
    return (desc, value, None, None, None, name, "int")


def test_nothing_below_the_rows_a_load_reads_is_touched():
    log = [(None,) * 7, ("--- change log ---",) + (None,) * 6, r("A", 99, "old A"), r("Gone", 5)]
    wb = book(r("A"), r("B"), r("Gone"), *log)
    ws = wb["Supply"]
    t = loaded(wb)
    t._all_names.remove("Gone")
    t.set_value("A", 2)
    t.save(wb)
    rows = [tuple(x) for x in ws.iter_rows(min_row=2, max_col=7, values_only=True)]
    assert rows == [r("A", 2), r("B"), r("Gone")] + log


@pytest.mark.parametrize("max_empty_row, below, match", [
    (0, [("--- spare ---",) + (None,) * 6], "row 4: the grown table would overwrite"),
    (0, [(None,) * 4 + ("V",) + (None,) * 2], "row 4: the grown table would overwrite"),
    (0, [(None,) * 7, r("C")], "row 5: the next load would read .* 'C'"),
    (2, [(None,) * 7, (None,) * 7, (None,) * 7, r("C")], "row 7: the next load would read"),
    (2, [(None,) * 7, (None,) * 7, (None,) * 7, (None,) * 7, r("C")], None),
    (0, [(None,) * 7, (None,) * 7, r("C")], None),
])
def test_a_grown_table_takes_only_empty_rows(max_empty_row, below, match):
    wb = book(r("A"), r("B"), *below)
    ws = wb["Supply"]
    t = loaded(wb, max_empty_row)
    t.set_parameter(Parameter("New", value=3, _type="int"))
    before = snapshot(ws)
    if match:
        with pytest.raises(ValueError, match="^Supply " + match):
            t.save(wb)
        assert snapshot(ws) == before
    else:
        t.save(wb)
        assert ws.cell(row=4, column=6).value == "New"
        assert loaded(wb, max_empty_row).parameter_names == ["A", "B", "New"]


@pytest.mark.parametrize("merged, refused", [
    ("B3:C3", True),       # the Value cell the save writes
    ("A4:A5", True),       # reaches into a stale row that is emptied
    ("D3:E3", False),      # only in cells left as they were
    ("H2:I3", False),      # beside the table
])
def test_merged_cells_among_the_written_ones_are_refused(merged, refused):
    wb = book(r("A"), r("B"), r("A", 5, "again"))
    ws = wb["Supply"]
    ws.merge_cells(merged)
    t = loaded(wb)
    t.set_value("B", 2)
    before = snapshot(ws)
    if refused:
        with pytest.raises(ValueError, match="^Supply!%s: .*unmerge" % merged):
            t.save(wb)
        assert snapshot(ws) == before
    else:
        t.save(wb)
        assert ws.cell(row=3, column=2).value == 2
