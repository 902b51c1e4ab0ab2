import datetime

import openpyxl
import pytest

from orv_testparameters import Parameter, SheetParameters

pytestmark = pytest.mark.filterwarnings("error::DeprecationWarning")

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")


def table(title, *records):
    t = SheetParameters()
    if title is not None:
        t.sheet_rename(title)
    for rec in records:
        t.set_parameter(rec)
    return t


def cells(ws, max_col=7):
    return [tuple(r) for r in ws.iter_rows(min_row=1, max_row=ws.max_row, max_col=max_col, values_only=True)]


def book_with(title, rows, extra_sheets=()):
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for other in extra_sheets:
        wb.create_sheet(other)
    ws = wb.create_sheet(title)
    for r in rows:
        ws.append(list(r))
    return wb


def loaded(wb, title, max_empty_row=0):
    t = SheetParameters()
    t.load(wb, title, max_empty_row)
    return t


@pytest.mark.parametrize("existing", [[], ["First"], ["First", "Second"]])
def test_missing_worksheet_is_created_last_with_header(existing):
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for s in existing:
        wb.create_sheet(s)
    t = table("P", Parameter("X", "dx", 1.5, 1, 2, "V", "float"), Parameter("Y", value="a"))
    assert t.save(wb) is None
    assert wb.sheetnames == existing + ["P"]
    assert cells(wb["P"]) == [HEADER, ("dx", 1.5, 1, 2, "V", "X", "float"), ("", "a", None, None, "", "Y", "str")]


@pytest.mark.parametrize("row1", [("a", "b", "c", "d", "e", "f", "g", "h"), (None,) * 8])
def test_existing_worksheet_keeps_row_1_and_later_columns(row1):
    wb = book_with("P", [row1, ("old",) * 9, ("old",) * 9])
    t = table("P", Parameter("X", "dx", 3), Parameter("Y", "dy", 4))
    t.save(wb)
    got = cells(wb["P"], max_col=9)
    assert got[0][:8] == row1
    assert got[1] == ("dx", 3, None, None, "", "X", "str", "old", "old")
    assert got[2] == ("dy", 4, None, None, "", "Y", "str", "old", "old")


def test_empty_table():
    wb = book_with("P", [HEADER[::-1], ("keep",) * 7])
    before = cells(wb["P"])
    table("P").save(wb)
    assert cells(wb["P"]) == before
    table("New").save(wb)
    assert cells(wb["New"]) == [HEADER]


def test_untitled_table_lets_the_library_name_the_sheet():
    wb = openpyxl.Workbook()
    table(None, Parameter("X", value=1)).save(wb)
    assert len(wb.sheetnames) == 2
    assert cells(wb[wb.sheetnames[1]]) == [HEADER, ("", 1, None, None, "", "X", "str")]


@pytest.mark.parametrize("_type, value, written", [
    ("eval", [1, 2], "[1, 2]"),
    ("eval", {"a": (1, 2.5)}, "{'a': (1, 2.5)}"),
    ("eval", "abc", "'abc'"),        # quoted: a later load evaluates the text
    ("eval", None, None),            # not the text None
    ("eval", 0, "0"),
    ("int", 5, 5),
    ("bool", True, True),
    ("float", 2.5, 2.5),
    (None, "t", "t"),
    ("Eval", 7, "7"),                # read as "eval" by loading, so written as one
    (" eval", 7, "7"),
    ("evaluate", 7, 7),              # a type loading does not know: as it is
])
def test_cell_contents_by_type(_type, value, written):
    wb = openpyxl.Workbook()
    table("P", Parameter("X", "d", value, value, value, "u", _type)).save(wb)
    assert cells(wb["P"])[1] == ("d", written, written, written, "u", "X", _type)


def test_eval_type_is_compared_with_equality():
    class Kind(str):
        def __eq__(self, other):
            return other == "eval"
        __hash__ = str.__hash__

    wb = openpyxl.Workbook()
    table("P", Parameter("X", value=[1], _type=Kind("anything"))).save(wb)
    assert wb["P"].cell(row=2, column=2).value == "[1]"


def test_non_eval_list_is_refused_by_the_library():
    wb = openpyxl.Workbook()
    t = table("P", Parameter("A", value=1), Parameter("X", "dx", [1, 2], _type="float"), Parameter("C", value=3))
    with pytest.raises(ValueError, match=r"^P!B3 \(parameter X\): Cannot convert \[1, 2\] to Excel$"):
        t.save(wb)
    # Written so far stays written; nothing after the failing cell is.
    assert cells(wb["P"]) == [HEADER, ("", 1, None, None, "", "A", "str"), ("dx",) + (None,) * 6]


def test_rows_follow_registration_order_and_record_name():
    x, y, z = Parameter("X", value=1), Parameter("Y", value=2), Parameter("Z", value=3)
    t = table("P", x, y, z)
    y2 = Parameter("Y", value=22)
    t.set_parameter(y2)
    z.name = "Renamed"   # the record's own name is written, the key stays
    wb = openpyxl.Workbook()
    t.save(wb)
    assert [(r[5], r[1]) for r in cells(wb["P"])[1:]] == [("X", 1), ("Y", 22), ("Renamed", 3)]


def test_formula_like_text_stays_text():
    wb = openpyxl.Workbook()
    table("P", Parameter("X", "=== note ===", "=1+1", unit=b"=V", _type="str")).save(wb)
    ws = wb["P"]
    assert [ws.cell(row=2, column=c).data_type for c in (1, 2, 5)] == ["s", "s", "s"]
    assert loaded(wb, "P").get_parameter("X").desc == "=== note ==="


class RecordingSheet:
    def __init__(self, log):
        self.log = log

    def cell(self, *, row, column):
        self.log.append(("cell", row, column))
        return RecordingCell(self.log)

    @property
    def max_row(self):
        self.log.append(("max_row",))
        return 1


class RecordingCell:
    def __init__(self, log):
        object.__setattr__(self, "log", log)

    def __setattr__(self, attr, content):
        self.log.append(("set", attr, content))


class RecordingBook:
    def __init__(self, titles):
        self.log = []
        self.titles = titles

    @property
    def sheetnames(self):
        return self.titles

    def __getitem__(self, title):
        self.log.append(("getitem", title))
        return RecordingSheet(self.log)

    def create_sheet(self, *args, **kwargs):
        self.log.append(("create_sheet", args, kwargs))
        return RecordingSheet(self.log)


class Record:
    """A record whose attribute reads are logged; `bad` names one that raises."""

    def __init__(self, log, bad=None):
        self._log, self._bad = log, bad

    def __getattr__(self, attr):
        self._log.append(("read", attr))
        if attr == self._bad:
            raise LookupError(attr)
        return "eval" if attr == "type" else attr


def test_every_content_is_worked_out_before_any_cell_is_written():
    book = RecordingBook(["P"])
    t = table("P")
    t.set_parameter(Parameter("X"))
    setattr(t, "X", Record(book.log, bad="up"))
    with pytest.raises(LookupError):
        t.save(book)
    log = book.log
    assert ("create_sheet", ("P",), {}) not in log and log[0] == ("getitem", "P")
    ops = [e for e in log if e[0] != "max_row"][1:]
    assert ops == [("read", "type"), ("read", "desc"), ("read", "value"), ("read", "low"), ("read", "up")]
    setattr(t, "X", Record(book.log))
    del log[:]
    t.save(book)
    ops = [e for e in log if e[0] != "max_row"][1:]
    reads = [("read", a) for a in ("type", "desc", "value", "low", "up", "unit", "name", "type")]
    assert ops[:8] == reads and ops[8:10] == [("cell", 2, 1), ("set", "value", "desc")]


def test_worksheet_object_without_max_row(monkeypatch):
    monkeypatch.delattr(RecordingSheet, "max_row")
    book = RecordingBook(["P"])
    table("P", Parameter("X", value=1)).save(book)
    assert ("set", "value", "X") in book.log


def test_created_sheet_takes_the_title_as_one_positional_argument():
    book = RecordingBook([])
    table("P").save(book)
    assert book.log[0] == ("create_sheet", ("P",), {})
    assert [e[1] for e in book.log[1:] if e[0] == "cell"] == [1] * 7


@pytest.mark.parametrize("rows, max_empty_row", [
    # a repeated name: the later row's record wins on load
    ([("a", 1, "A"), ("b", 2, "B"), ("a2", 3, "A")], 0),
    # an empty row that loading skipped closes up
    ([("a", 1, "A"), (None, None, None), ("b", 2, "B")], 1),
    ([("a", 1, "A"), (None, None, None), (None, None, None), ("b", 2, "B"), ("a2", 3, "A")], 2),
    # a name with blanks, repeated
    ([(" a", 1, " A"), ("b", 2, "B"), ("a2", 3, " A")], 0),
])
def test_old_rows_below_the_table_are_emptied(rows, max_empty_row):
    sheet_rows = [HEADER] + [(d, v, None, None, "u", n, "int") for d, v, n in rows]
    tail = [("note",) + (None,) * 6, (None,) * 5 + ("Unrelated", "int")]
    sheet_rows += [(None,) * 7] * (max_empty_row + 1) + tail
    wb = book_with("P", sheet_rows)
    ws = wb["P"]
    ws.cell(row=3, column=9).value = "col 9"
    t = loaded(wb, "P", max_empty_row)
    first = t.parameter_names[0]
    t.set_value(first, 100)
    t.save(wb)
    n = len(t.parameter_names)
    got = cells(ws)
    # Old parameter rows are emptied; rows without a name keep what they hold.
    assert got[n + 1:len(rows) + 1] == [(None,) * 7 if r[5] else r for r in sheet_rows[n + 1:len(rows) + 1]]
    assert got[-2:] == tail
    assert ws.cell(row=3, column=9).value == "col 9"
    # A reload reads exactly what was saved.
    again = loaded(wb, "P", max_empty_row)
    assert again.parameter_names == t.parameter_names
    assert [again.get_value(x) for x in again.parameter_names] == [t.get_value(x) for x in t.parameter_names]


def test_clearing_stays_inside_the_rows_a_load_reads():
    def r(name, desc=None):
        return (desc, 1, None, None, None, name, "int")

    rows = [HEADER, r("A"), r("B"), r("A", "dup"), (None,) * 7, ("note",) + (None,) * 6, r("Other"),
            r("B", "dup"), r("Tail"), r("Tail2")]
    wb = book_with("P", rows)
    t = loaded(wb, "P")
    assert t.parameter_names == ["A", "B"]
    t.save(wb)
    # Row 4 repeated A inside the table; the change log below it is left alone.
    assert cells(wb["P"])[1:] == [r("A", "dup"), r("B"), (None,) * 7] + rows[4:]


def test_growing_table_and_created_sheet_clear_nothing():
    rows = [HEADER, ("a", 1, None, None, None, "A", "int"), (None,) * 7, ("note", 5, None, None, None, None, None)]
    wb = book_with("P", rows)
    t = loaded(wb, "P")
    t.set_parameter(Parameter("New", value=6, _type="int"))   # only in memory
    t.save(wb)
    assert cells(wb["P"])[1:] == [rows[1], ("", 6, None, None, "", "New", "int"), rows[3]]


def test_round_trip_changed_values_and_timezone_free_datetime():
    stamp = datetime.datetime(2024, 5, 6, 7, 8, 9)
    wb = book_with("P", [HEADER, ("d", "x", None, None, None, "S", "auto")])
    t = loaded(wb, "P")
    t.set_value("S", stamp)
    t.save(wb)
    assert loaded(wb, "P").get_value("S") == stamp
