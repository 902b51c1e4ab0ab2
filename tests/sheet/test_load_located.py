"""An error raised while a row is converted or registered keeps its type and
message and gains a note naming the sheet, the cell and the parameter."""

import io
import json
import re

import openpyxl
import pytest

from orv_testparameters import SheetParameters

NOTE = re.compile(r"^while loading (?P<sheet>'(?:[^']|'')*'|[^!']+)!(?P<cell>[A-Z]+\d+) \(parameter (?P<name>\".*\")\)$")


def book_bytes(title, rows):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = title
    ws.append(["Description", "Value", "Low", "Up", "Unit", "Name", "Type"])
    for r in rows:
        ws.append(list(r))
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


def failed_load(data, title, read_only, table=None):
    table = table or SheetParameters(False)
    with pytest.raises(BaseException) as info:
        table.load(openpyxl.load_workbook(io.BytesIO(data), read_only=read_only, data_only=True), title)
    return info.value


GOOD = (None, "1", None, None, "V", "OK", "int")


@pytest.mark.parametrize("read_only", [True, False], ids=["read_only", "editable"])
@pytest.mark.parametrize("bad, error, message, cell", [
    ((None, "abc", None, None, None, "VDD", "float"), ValueError, "could not convert string to float: 'abc'", "B3"),
    ((None, "1", "2 +", None, None, "VDD", "int"), SyntaxError, None, "C3"),
    ((None, "1", "2", "abc", None, "VDD", "int"), NameError, "name 'abc' is not defined", "D3"),
    ((None, "1", None, None, None, "VDD", " Money"), TypeError, "Unknown variable type:  Money", "B3"),
    ((None, "1", None, None, None, "VDD", "eval"), ValueError, None, "B3"),
    ((None, "1", None, None, None, "get_value", "str"), AttributeError, None, "F3"),
    ((None, "1", None, None, None, 5, "str"), TypeError, None, "F3"),
])
def test_error_names_sheet_cell_and_parameter(read_only, bad, error, message, cell):
    exc = failed_load(book_bytes("Supply", [GOOD, bad]), "Supply", read_only)
    assert type(exc) is error
    if message:
        assert str(exc) == message
    name = bad[5]
    assert exc.__notes__ == ['while loading Supply!%s (parameter "%s")' % (cell, name)]


@pytest.mark.parametrize("title, reference", [
    ("Supply_2.a", "Supply_2.a"),
    ("My Sheet", "'My Sheet'"),
    ("O'Brien", "'O''Brien'"),
    ("A1", "'A1'"),
    ("XFD100", "'XFD100'"),
    ("R2C3", "'R2C3'"),
    ("ABCD1", "ABCD1"),
    ("1st", "'1st'"),
    ("Übersicht", "'Übersicht'"),
])
def test_sheet_is_written_as_in_a_reference_and_names_are_escaped(title, reference):
    name = 'V "dd"\\\n\té'
    exc = failed_load(book_bytes(title, [(None, "x", None, None, None, name, "float")]), title, True)
    (note,) = exc.__notes__
    assert note == "while loading %s!B2 (parameter %s)" % (reference, json.dumps(name, ensure_ascii=False))
    parts = NOTE.match(note)
    assert parts and json.loads(parts.group("name")) == name


def test_an_interrupt_passes_without_a_note():
    class Table(SheetParameters):
        def _parse_value(self, *args):
            raise KeyboardInterrupt

    exc = failed_load(book_bytes("S", [GOOD]), "S", True, Table())
    assert type(exc) is KeyboardInterrupt and not hasattr(exc, "__notes__")


@pytest.mark.parametrize("read_only", [True, False], ids=["read_only", "editable"])
def test_a_chart_sheet_is_refused_by_name(read_only):
    from openpyxl.chart import BarChart, Reference
    wb = openpyxl.Workbook()
    wb.active.append([1])
    chart = BarChart()
    chart.add_data(Reference(wb.active, min_col=1, min_row=1, max_row=1))
    wb.create_chartsheet("Chart").add_chart(chart)
    out = io.BytesIO()
    wb.save(out)
    book = openpyxl.load_workbook(io.BytesIO(out.getvalue()), read_only=read_only)
    with pytest.raises(ValueError, match=r'^Sheet "Chart" is a chart sheet: it holds no cells to load\.$'):
        SheetParameters().load(book, "Chart")
