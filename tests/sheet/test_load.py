import re
import zipfile

import openpyxl
import pytest
from openpyxl.worksheet._read_only import ReadOnlyWorksheet

import orv_testparameters as tp
from orv_testparameters import SheetParameters

HEADER = ["Description", "Value", "Low", "Up", "Unit", "Name", "Type"]
ATTRS = ("name", "desc", "value", "low", "up", "unit", "type")


def write_book(path, rows, title="Params", others=None):
    """rows: {row number: 7-tuple} below the header; others: {title: rows}
    for further sheets, written without a header."""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = title
    sheets = [(ws, {1: HEADER, **rows})] + [(wb.create_sheet(t), r) for t, r in (others or {}).items()]
    for sheet, content in sheets:
        for r, values in content.items():
            for col, value in enumerate(values, 1):
                if value is not None:
                    sheet.cell(row=r, column=col, value=value)
    wb.save(path)
    return str(path)


def rewrite_sheet_xml(path, edit):
    """Rewrites xl/worksheets/sheet1.xml of the file with edit(text)."""
    with zipfile.ZipFile(path) as z:
        items = [(info, z.read(info.filename)) for info in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in items:
            if info.filename == "xl/worksheets/sheet1.xml":
                data = edit(data.decode("utf-8")).encode("utf-8")
            z.writestr(info, data)


def row(name, value=None, vtype=None, desc=None, low=None, up=None, unit=None):
    return (desc, value, low, up, unit, name, vtype)


def snapshot(table):
    return [(name, [repr(getattr(table.get_parameter(name), a)) for a in ATTRS]) for name in table.parameter_names]


@pytest.fixture(params=["read_only", "editable"])
def open_book(request):
    def opener(path):
        if request.param == "read_only":
            return openpyxl.load_workbook(path, read_only=True, data_only=True)
        return openpyxl.load_workbook(path)
    return opener


def load(open_book, path, table=None, sheet="Params", **kw):
    table = SheetParameters() if table is None else table
    table.load(open_book(path), sheet, **kw)
    return table


def test_rows_become_records(tmp_path, open_book):
    path = write_book(tmp_path / "b.xlsx", {
        2: row("Vcc", 3.3, "float", desc="Supply", low=-0.1, up="0.1", unit="V"),
        3: row(" lead", " 12 ", " Int "),
        4: row("Plain", 3.3),
        5: row("Keep", "  as is ", "auto"),
    })
    table = load(open_book, path)
    assert table.parameter_names == ["Vcc", " lead", "Plain", "Keep"]
    vcc = table.get_parameter("Vcc")
    assert type(vcc) is tp.Parameter
    assert [getattr(vcc, a) for a in ATTRS] == ["Vcc", "Supply", 3.3, -0.1, 0.1, "V", "float"]
    assert [getattr(table.get_parameter(" lead"), a) for a in ATTRS] == [" lead", None, 12, None, None, None, " Int "]
    assert (table.get_value("Plain"), table.get_parameter("Plain").type) == ("3.3", None)
    assert table.get_value("Keep") == "  as is "
    assert table.sheet_name() == "Params"


@pytest.mark.parametrize("names_at, max_empty_row, loaded", [
    ((2, 3, 5), 0, [2, 3]),
    ((2, 3, 5), 1, [2, 3, 5]),
    ((2, 6), 2, [2]),
    ((2, 6), 3, [2, 6]),
    ((2, 4), -1, [2]),
    ((3,), 0, []),
    ((3,), 1, [3]),
])
def test_runs_of_empty_rows(tmp_path, open_book, names_at, max_empty_row, loaded):
    rows = {r: row("P%d" % r, r, "int") for r in names_at}
    rows[max(names_at) + 1] = row(None, 1, "int", desc="no name: an empty row")
    path = write_book(tmp_path / "b.xlsx", rows)
    table = load(open_book, path, max_empty_row=max_empty_row)
    assert table.parameter_names == ["P%d" % r for r in loaded]


def test_blank_names_duplicates_and_unnamed_rows(tmp_path, open_book):
    path = write_book(tmp_path / "b.xlsx", {
        2: row("A", 1, "int"),
        3: row("   ", 2, "int", desc="blank name"),
        4: row(None, 3, "int", desc="no name"),
        5: row("B", 4, "int"),
        6: row("A", 5, "int", desc="second A"),
    })
    table = load(open_book, path, max_empty_row=2)
    assert table.parameter_names == ["A", "B"]
    assert (table.get_value("A"), table.get_parameter("A").desc) == (5, "second A")


def test_header_only_and_empty_sheets_bind_the_table(tmp_path, open_book):
    path = write_book(tmp_path / "b.xlsx", {}, others={"Empty": {}})
    for sheet in ("Params", "Empty"):
        table = load(open_book, path, sheet=sheet)
        assert (table.parameter_names, table.sheet_name()) == ([], sheet)


def test_binding_the_sheet_name(tmp_path, open_book):
    path = write_book(tmp_path / "b.xlsx", {2: row("A", 1, "int")}, others={"Other": {2: row("X")}})
    with pytest.raises(ValueError, match="^sheetname must be a valid string$"):
        SheetParameters().load(open_book(path), None)

    table = SheetParameters()
    with pytest.raises(ValueError, match=r'^Sheet "params" \*NOT\* FOUND\.$'):
        table.load(open_book(path), "params")
    assert table.sheet_name() == "params"
    with pytest.raises(ValueError, match="^Only one sheet parameters could be loaded"):
        table.load(open_book(path), "Params")

    table = load(open_book, path)
    with pytest.raises(ValueError, match="^Only one sheet parameters could be loaded"):
        table.load(open_book(path), "Other")
    assert table.parameter_names == ["A"]


def test_reload_replaces_values_and_keeps_vanished_rows(tmp_path, open_book):
    path = write_book(tmp_path / "b.xlsx", {2: row("A", 1, "int"), 3: row("B", 2, "int")})
    table = load(open_book, path)
    table.set_value("A", 100)
    write_book(tmp_path / "b.xlsx", {2: row("C", 3, "int"), 3: row("A", 4, "int")})
    table.load(open_book(path), None)
    assert table.parameter_names == ["A", "B", "C"]
    assert [table.get_value(n) for n in "ABC"] == [4, 2, 3]


@pytest.mark.parametrize("bad_row, error", [
    (row("Bad", "1 +", "int"), SyntaxError),
    (row("Bad", "abc", "int"), NameError),
    (row("Bad", "x", "float"), ValueError),
    (row("Bad", "x", "Money"), TypeError),
    (row("Bad", None, 5), AttributeError),
    (row(5, "x", "str"), TypeError),
    (row("get_value", "x", "str"), AttributeError),
    (row("_all_names", "x", "str"), AttributeError),
])
def test_a_failing_row_keeps_the_rows_before_it(tmp_path, open_book, bad_row, error):
    path = write_book(tmp_path / "b.xlsx", {2: row("A", 1, "int"), 3: bad_row, 4: row("C", 3, "int")})
    table = SheetParameters()
    with pytest.raises(error):
        table.load(open_book(path), "Params")
    assert table.parameter_names == ["A"]
    assert table.get_value("A") == 1


def test_max_empty_row_is_compared_only_at_an_empty_row(tmp_path, open_book):
    full = write_book(tmp_path / "full.xlsx", {2: row("A"), 3: row("B")})
    assert load(open_book, full, max_empty_row="x").parameter_names == ["A", "B"]
    gap = write_book(tmp_path / "gap.xlsx", {2: row("A"), 4: row("B")})
    with pytest.raises(TypeError):
        load(open_book, gap, max_empty_row="x")
    assert load(open_book, gap, max_empty_row=True).parameter_names == ["A", "B"]


@pytest.mark.parametrize("support_eval", [False, True])
def test_int_cell_runs_no_code_without_eval_support(tmp_path, open_book, support_eval):
    marker = tmp_path / "MARKER"
    cell = "__import__('os').system('touch %s')" % marker
    path = write_book(tmp_path / "b.xlsx", {2: row("A", 1, "int"), 3: row("Evil", cell, "int")})
    table = SheetParameters(support_eval)
    if support_eval:  # the control: with eval permitted the cell does run
        table.load(open_book(path), "Params")
        assert marker.exists()
    else:
        with pytest.raises(ValueError, match=re.escape(cell[:100])):  # messages quote 100 characters
            table.load(open_book(path), "Params")
        assert not marker.exists()
    assert table.parameter_names[:1] == ["A"]


def test_formula_cells_read_as_their_cached_values(tmp_path):
    path = write_book(tmp_path / "b.xlsx", {2: row("F", "=1+2", "int"), 3: row("G", "=B2*2.5", "float")})
    # openpyxl writes formulas without a computed value; add the ones a
    # spreadsheet program would have stored.
    rewrite_sheet_xml(path, lambda xml: xml.replace("<f>1+2</f><v />", "<f>1+2</f><v>3</v>")
                      .replace("<f>B2*2.5</f><v />", "<f>B2*2.5</f><v>7.5</v>"))
    for wb in (openpyxl.load_workbook(path, read_only=True, data_only=True),
               openpyxl.load_workbook(path, data_only=True)):
        table = SheetParameters()
        table.load(wb, "Params")
        assert (table.get_value("F"), table.get_value("G")) == (3, 7.5)


@pytest.mark.parametrize("edit, reported_max_row", [
    (lambda xml: re.sub(r"<dimension [^>]*/>", "", xml), None),
    (lambda xml: re.sub(r'<dimension ref="[^"]*"', '<dimension ref="A1:G1"', xml), 1),
])
def test_read_only_sheets_with_a_missing_or_wrong_dimension_load_every_row(tmp_path, edit, reported_max_row):
    path = write_book(tmp_path / "b.xlsx", {r: row("P%d" % r, r, "int") for r in range(2, 9)})
    rewrite_sheet_xml(path, edit)
    assert openpyxl.load_workbook(path, read_only=True)["Params"].max_row == reported_max_row
    table = SheetParameters()
    table.load(openpyxl.load_workbook(path, read_only=True, data_only=True), "Params")
    assert table.parameter_names == ["P%d" % r for r in range(2, 9)]


def test_read_only_and_editable_workbooks_give_the_same_table(tmp_path):
    rows = {}
    kinds = [(" text ", "str"), (3.3, None), (7, "int"), ("0x1F", " Int "), (1.25, "float"), ("yes", "bool"),
             (42, "auto"), ("[1, 2]", "eval"), ("  padded ", "string"), ("é", "bytes")]
    for i in range(60):
        value, vtype = kinds[i % len(kinds)]
        rows[2 + i + i // 7] = row("N%d" % (i % 45), value, vtype, desc="d%d" % i, low=i, unit="u" if i % 3 else None)
    path = write_book(tmp_path / "b.xlsx", rows)
    read_only = SheetParameters()
    read_only.load(openpyxl.load_workbook(path, read_only=True, data_only=True), "Params", 1)
    editable = SheetParameters()
    editable.load(openpyxl.load_workbook(path), "Params", 1)
    assert len(read_only.parameter_names) == 45
    assert snapshot(read_only) == snapshot(editable)


def test_read_only_sheet_is_read_in_one_pass(tmp_path, monkeypatch):
    path = write_book(tmp_path / "b.xlsx", {r: row("P%d" % r, r, "int") for r in range(2, 6)})
    passes = []
    iter_rows = ReadOnlyWorksheet.iter_rows
    monkeypatch.setattr(ReadOnlyWorksheet, "iter_rows", lambda self, **kw: passes.append(kw) or iter_rows(self, **kw))
    monkeypatch.setattr(ReadOnlyWorksheet, "cell", None)
    table = SheetParameters()
    table.load(openpyxl.load_workbook(path, read_only=True, data_only=True), "Params")
    assert table.parameter_names == ["P2", "P3", "P4", "P5"]
    assert passes == [{"min_row": 2, "max_col": 7, "values_only": True}]


class FakeCell:
    def __init__(self, value):
        self.value = value


class FakeSheet:
    """A worksheet double that records what the loader asks of it."""

    def __init__(self, rows, max_row="last"):
        self.rows = rows
        self._max_row = max(rows) if max_row == "last" else max_row
        self.log = []

    @property
    def max_row(self):
        self.log.append("max_row")
        return self._max_row

    def cell(self, *args, **kwargs):
        assert not args
        self.log.append((kwargs["row"], kwargs["column"]))
        return FakeCell(self.rows.get(kwargs["row"], (None,) * 7)[kwargs["column"] - 1])


class FakeBook:
    def __init__(self, sheet):
        self.sheet = sheet
        self.sheetnames = ["S"]

    def __getitem__(self, title):
        return self.sheet


def test_other_worksheets_are_read_cell_by_cell_in_order():
    sheet = FakeSheet({2: row("A", 1, "int"), 3: row(None, 9), 4: row("B", 2, "int"), 7: row("C")})
    table = SheetParameters()
    table.load(FakeBook(sheet), "S", 1)
    named = lambda r: [(r, 6), (r, 1), (r, 2), (r, 3), (r, 4), (r, 5), (r, 7)]
    assert sheet.log == ["max_row", "max_row"] + named(2) + [(3, 6)] + named(4) + [(5, 6), (6, 6)]
    assert table.parameter_names == ["A", "B"]


@pytest.mark.parametrize("max_row, log, error", [
    (1, ["max_row"], None),
    (0, ["max_row"], None),
    (None, ["max_row"], TypeError),
    (2.0, ["max_row", "max_row"], TypeError),
])
def test_other_worksheets_trust_max_row(max_row, log, error):
    sheet = FakeSheet({2: row("A")}, max_row=max_row)
    table = SheetParameters()
    if error:
        with pytest.raises(error):
            table.load(FakeBook(sheet), "S")
    else:
        table.load(FakeBook(sheet), "S")
    assert sheet.log == log and table.parameter_names == []


def test_subclass_overrides_of_parse_value_and_set_parameter_are_called(tmp_path, open_book):
    calls = []

    class Table(SheetParameters):
        def _parse_value(self, *args):
            calls.append(("parse",) + args)
            return super()._parse_value(*args)

        def set_parameter(self, *args, **kwargs):
            calls.append(("set", args[0].name, len(args), kwargs))
            return super().set_parameter(*args, **kwargs)

    path = write_book(tmp_path / "b.xlsx", {2: row("A", "1", "int", low=0, up="2")})
    table = load(open_book, path, Table())
    assert calls == [("parse", "1", "int"), ("parse", 0, "int"), ("parse", "2", "int"), ("set", "A", 1, {})]
    assert (table.get_parameter("A").low, table.get_parameter("A").up) == (0, 2)


def test_set_parameter_replaced_on_the_class_or_the_instance_is_called(tmp_path, open_book, monkeypatch):
    path = write_book(tmp_path / "b.xlsx", {2: row("A", 1, "int"), 3: row("B", 2, "int")})
    seen = []
    original = SheetParameters.set_parameter
    table = SheetParameters()
    table.set_parameter = lambda para: seen.append(("instance", para.name))
    load(open_book, path, table)
    monkeypatch.setattr(SheetParameters, "set_parameter", lambda self, para: seen.append(("class", para.name)))
    load(open_book, path)
    monkeypatch.setattr(SheetParameters, "set_parameter", original)
    assert seen == [("instance", "A"), ("instance", "B"), ("class", "A"), ("class", "B")]
    assert load(open_book, path).parameter_names == ["A", "B"]


def test_records_come_from_the_module_parameter_class_at_call_time(tmp_path, open_book, monkeypatch):
    made = []

    class Record(tp.Parameter):
        def __init__(self, *args):
            made.append(args)
            super().__init__(*args)

    monkeypatch.setattr(tp, "Parameter", Record)
    path = write_book(tmp_path / "b.xlsx", {2: row("A", "1", "int", desc="d", unit="V")})
    table = load(open_book, path)
    assert made == [("A", "d", 1, None, None, "V", "int")]
    assert type(table.get_parameter("A")) is Record


class LoggedList(list):
    def append(self, item):
        super().append(item)
        self.appended = getattr(self, "appended", 0) + 1


@pytest.mark.parametrize("meddle", ["append_to_list", "replace_list", "list_subclass", "str_subclass_in_list"])
def test_name_list_changed_during_a_load_is_still_honoured(tmp_path, open_book, meddle):
    """A _parse_value that changes _all_names mid-load: registration must see
    the list as it is, exactly as set_parameter's own scan would."""

    class Table(SheetParameters):
        def _parse_value(self, content, vtype):
            if content == "meddle":
                if meddle == "append_to_list":
                    self._all_names.append("C")
                elif meddle == "replace_list":
                    self._all_names = ["C"] + self._all_names
                elif meddle == "list_subclass":
                    self._all_names = LoggedList(self._all_names + ["C"])
                else:
                    self._all_names.append(type("Name", (str,), {})("C"))
            return super()._parse_value(content, vtype)

    path = write_book(tmp_path / "b.xlsx", {2: row("A", 1, "int"), 3: row("B", "meddle", "str"),
                                            4: row("C", 3, "int"), 5: row("A", 4, "int"), 6: row("D", 5, "int")})
    table = load(open_book, path, Table())
    names = table.parameter_names
    assert sorted(names) == ["A", "B", "C", "D"] and len(names) == 4
    assert [table.get_value(n) for n in "ACD"] == [4, 3, 5]
    if meddle == "list_subclass":
        assert table._all_names.appended == 2  # B and D; C was already listed


def test_a_name_listed_after_one_with_its_own_eq_is_found_by_the_scan(tmp_path, open_book):
    """A _parse_value that puts a name with its own == before a listed one:
    registering that listed name again compares with it first, as `in` does."""

    class Hostile:
        def __eq__(self, other):
            raise RuntimeError("compared with %r" % other)

    class Table(SheetParameters):
        def _parse_value(self, content, vtype):
            if content == "meddle":
                self._all_names[0] = Hostile()
            return super()._parse_value(content, vtype)

    path = write_book(tmp_path / "b.xlsx", {2: row("B", 1, "int"), 3: row("A", 2, "int"),
                                            4: row("A", "meddle", "str")})
    with pytest.raises(RuntimeError, match="compared with 'A'"):
        load(open_book, path, Table())
