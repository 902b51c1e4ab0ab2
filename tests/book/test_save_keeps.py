"""What a save keeps of the file: stored formula results, exact numbers,
document properties, and the one warning about what openpyxl drops."""
import os
import warnings
import zipfile

import openpyxl
import pytest

from orv_testparameters import BookParameters

xlsxwriter = pytest.importorskip("xlsxwriter")

HEADER = ["Description", "Value", "Low", "Up", "Unit", "Name", "Type"]

# (formula in sheet Calc, stored result, whether it reads VDD, the cell the test changes)
FORMULAS = [
    ("=Supply!B2*2", 6.6, True),
    ("=Supply!B3*2", 0.004, False),
    ('=Supply!B3&"A"', "0.002A", False),
    ("=Supply!B3>0", True, False),
    ("=1/0", "#DIV/0!", False),
    ("=SUM(Supply!B2:B3)", 3.302, True),
    ("=SUM(Supply!B3:D3)", 0.002, False),
    ("=SUM(Supply!B:B)", 3.302, True),
    ("=SUM(Supply!$A$3:$G$3)", 0.002, False),
    ("=SUM(Supply!2:2)", 3.3, True),
    ("=COUNT(Supply!3:3)", 1, False),
    ("=VDD_CELL*1", 3.3, True),
    ("=IDD_CELL*1", 0.002, False),
    ("=SUM(BLOCK)", 3.3, True),
    ("=A1+1", 7.6, True),                        # through another formula
    ("=A2+1", 1.004, False),
    ("=A15+1", 8.6, True),                       # two formulas deep
    ("=NOW()", 45000.5, True),                    # volatile
    ('=INDIRECT("Supply!B3")', 0.002, True),
    ("=OFFSET(Supply!B3,0,0)", 0.002, True),
    ("=SUM(Tbl[Qty])", 3, True),                  # structured reference
    ("=SUM('Supply:Calc'!Z99)", 0, False),        # 3-D reference
    ("=SUM('Supply:Calc'!B2)", 3.3, True),
    ("='It''s'!A1*1", 5, False),
    ('=IF(Supply!B3>0,"Supply!B2","")', "Supply!B2", False),
    ("=A27+0", 0, False),                         # circular, inputs unchanged
    ("=A26+0", 0, False),
]


def write_table(ws, rows):
    ws.write_row(0, 0, HEADER)
    for i, row in enumerate(rows, 1):
        ws.write_row(i, 0, row)


def formula_book(path):
    wb = xlsxwriter.Workbook(path)
    supply = wb.add_worksheet("Supply")
    write_table(supply, [["core", 3.3, 3.1, 3.5, "V", "VDD", "float"],
                         ["standby", 0.002, None, None, "A", "IDD", "float"]])
    calc = wb.add_worksheet("Calc")
    for i, (f, result, _) in enumerate(FORMULAS):
        calc.write_formula(i, 0, f, None, result)
    other = wb.add_worksheet("It's")
    other.write("A1", 5)
    other.write_row("C1", ["Qty"])
    other.write_column("C2", [1, 2])
    other.add_table("C1:C3", {"name": "Tbl", "columns": [{"header": "Qty"}]})
    wb.define_name("VDD_CELL", "=Supply!$B$2")
    wb.define_name("IDD_CELL", "=Supply!$B$3")
    wb.define_name("Calc!BLOCK", "=Supply!$B$2:$C$2")
    wb.close()
    return path


def calc_values(path):
    wb = openpyxl.load_workbook(path, data_only=True)
    return [wb["Calc"].cell(row=i + 1, column=1).value for i in range(len(FORMULAS))]


@pytest.mark.parametrize("change", [True, False], ids=["VDD changed", "no change"])
def test_formula_results_are_kept_unless_their_inputs_changed(tmp_path, change):
    path = formula_book(str(tmp_path / "f.xlsx"))
    book = BookParameters(path)
    book.load_sheet("Supply")
    if change:
        book.set_value("VDD", 3.4)
    book.save()
    expected = [None if change and reads else result for _, result, reads in FORMULAS]
    assert calc_values(path) == pytest.approx(expected)
    wb = openpyxl.load_workbook(path)
    assert [wb["Calc"].cell(row=i + 1, column=1).value for i in range(len(FORMULAS))] == [f for f, _, _ in FORMULAS]
    with zipfile.ZipFile(path) as z:
        assert 'fullCalcOnLoad="1"' in z.read("xl/workbook.xml").decode()


def test_result_kinds_stay_in_the_file(tmp_path):
    path = formula_book(str(tmp_path / "f.xlsx"))
    BookParameters(path).save()
    with zipfile.ZipFile(path) as z:
        sheet = z.read("xl/worksheets/sheet2.xml").decode()
    assert '<c r="A3" t="str"><f>Supply!B3&amp;"A"</f><v>0.002A</v></c>' in sheet
    assert '<c r="A4" t="b"><f>Supply!B3&gt;0</f><v>1</v></c>' in sheet
    assert '<c r="A5" t="e"><f>1/0</f><v>#DIV/0!</v></c>' in sheet


def rewrite_part(path, part, edit):
    with zipfile.ZipFile(path) as z:
        items = [(i, z.read(i)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in items:
            z.writestr(info, edit(data.decode()).encode() if info.filename == part else data)


def test_a_new_sheet_counts_as_changed_for_formulas_that_name_it(tmp_path):
    path = str(tmp_path / "n.xlsx")
    wb = xlsxwriter.Workbook(path)
    write_table(wb.add_worksheet("Supply"), [["core", 3.3, None, None, "V", "VDD", "float"]])
    calc = wb.add_worksheet("Calc")
    calc.write_formula("A1", "=SUM(Timing!B:B)", None, 0)     # no such sheet yet
    calc.write_formula("A2", "=Supply!B2", None, 3.3)
    wb.close()
    book = BookParameters(path)
    book.load_sheet("Supply")
    book.sheet_rename("Supply", "Timing")
    book.save()
    assert calc_a(path, 2) == [None, 3.3]


def calc_a(path, rows):
    wb = openpyxl.load_workbook(path, data_only=True)
    return [wb["Calc"].cell(row=r, column=1).value for r in range(1, rows + 1)]


# --- numbers ----------------------------------------------------------------

@pytest.mark.parametrize("_type, value", [
    ("float", 0.1 + 0.2),
    ("float", 1 / 3),
    ("float", 2.0 ** 70 + 2.0 ** 18),
    ("float", 5e-324),
    ("int", 2 ** 64 - 1),
    ("int", 10 ** 16 + 1),
    ("int", -(2 ** 53) - 1),
])
def test_numbers_read_back_exactly(make_book, _type, value):
    path = make_book({"S": [("p", 1, None, None, None, "P", _type)]})
    book = BookParameters(path)
    book.load_sheet("S")
    book.set_value("P", value)
    book.save()
    again = BookParameters(path)
    again.load_sheet("S")
    assert again.get_value("P") == value and type(again.get_value("P")) is type(value)
    # Integers a double cannot hold are stored as their decimal digits.
    expected = value if _type == "float" else str(value)
    cell = openpyxl.load_workbook(path)["S"]["B2"].value
    assert cell == expected and type(cell) is type(expected)


def test_numbers_in_sheets_the_save_never_loaded_keep_their_digits(make_book):
    path = make_book({"S": [("p", 1.0, None, None, None, "P", "float")], "Other": [("q", 0.5, None, None, None, "Q", "")]})
    rewrite_part(path, "xl/worksheets/sheet2.xml", lambda s: s.replace("<v>0.5</v>", "<v>0.30000000000000004</v>"))
    BookParameters(path).save()
    assert openpyxl.load_workbook(path)["Other"]["B2"].value == 0.30000000000000004


# --- dates as ISO text ---------------------------------------------------------

ISO_DATES = ["2021-01-01", "2021-01-01T10:10:10", "2021-01-01T10:10:10.250", "10:10:10", "1900-02-10T06:00:00"]


def iso_date_book(path, epoch1904, texts):
    wb = openpyxl.Workbook(iso_dates=True)
    if epoch1904:
        from openpyxl.utils.datetime import CALENDAR_MAC_1904
        wb.epoch = CALENDAR_MAC_1904
    supply = wb.active
    supply.title = "Supply"
    for row in [HEADER, ["core", 3.3, None, None, "V", "VDD", "float"]]:
        supply.append(row)
    log = wb.create_sheet("Log")
    log["A1"] = 0
    wb.save(path)
    # B1 reads the dates: its stored result stays while they do.
    rows = "".join('<row r="%d"><c r="A%d" t="d"><v>%s</v></c>%s</row>'
                   % (i + 1, i + 1, t, "" if i else '<c r="B1"><f>A1+1</f><v>44198</v></c>') for i, t in enumerate(texts))
    rewrite_part(path, "xl/worksheets/sheet2.xml",
                 lambda s: s[:s.index("<sheetData>")] + "<sheetData>" + rows + s[s.index("</sheetData>"):])
    return path


def iso_cells(path):
    with zipfile.ZipFile(path) as z:
        sheet = z.read("xl/worksheets/sheet2.xml").decode()
    return [sheet.count('t="d"><v>%s</v>' % t) for t in ISO_DATES]


@pytest.mark.parametrize("epoch1904", [False, True], ids=["1900", "1904"])
def test_dates_as_iso_text_stay_so(tmp_path, epoch1904):
    path = iso_date_book(str(tmp_path / "d.xlsx"), epoch1904, ISO_DATES)
    values = [c.value for c in openpyxl.load_workbook(path)["Log"]["A"]]
    book = BookParameters(path)
    book.load_sheet("Supply")
    book.set_value("VDD", 3.4)
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        book.save()
    assert iso_cells(path) == [1] * len(ISO_DATES)
    assert [c.value for c in openpyxl.load_workbook(path)["Log"]["A"]] == values
    assert openpyxl.load_workbook(path, data_only=True)["Log"]["B1"].value == 44198


def test_iso_text_openpyxl_reads_only_in_part_is_said(tmp_path):
    # openpyxl ignores the offset: the number it stores is not this instant.
    path = iso_date_book(str(tmp_path / "d.xlsx"), False, ["2021-01-01T10:10:10+02:00", ISO_DATES[0]])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        BookParameters(path).save()
    assert [str(w.message) for w in caught] == [
        path + ": this save drops what openpyxl cannot keep: Log: 1 ISO date text"]
    assert iso_cells(path)[0] == 1


# --- document properties ----------------------------------------------------

@pytest.mark.parametrize("new_sheet", [False, True])
def test_document_properties_are_kept(tmp_path, new_sheet):
    path = str(tmp_path / "p.xlsx")
    wb = xlsxwriter.Workbook(path)
    write_table(wb.add_worksheet("Supply"), [["core", 3.3, None, None, "V", "VDD", "float"]])
    wb.set_properties({"company": "ACME", "manager": "Jo Doe", "title": "Limits"})
    wb.set_custom_property("Lot", "42")
    wb.close()
    book = BookParameters(path)
    book.load_sheet("Supply")
    if new_sheet:
        book.sheet_rename("Supply", "Station")
    book.save()
    with zipfile.ZipFile(path) as z:
        app = z.read("docProps/app.xml").decode()
        custom = z.read("docProps/custom.xml").decode()
        # openpyxl 3.0 writes no custom properties: the part comes back with
        # its relationship and content type.
        assert "/custom-properties" in z.read("_rels/.rels").decode()
        assert 'PartName="/docProps/custom.xml"' in z.read("[Content_Types].xml").decode()
    assert "<Company>ACME</Company>" in app and "<Manager>Jo Doe</Manager>" in app
    titles = ["Supply", "Station"] if new_sheet else ["Supply"]
    assert ("<vt:lpstr>Station</vt:lpstr>" in app) == new_sheet
    assert 'size="%d" baseType="lpstr"' % len(titles) in app
    assert "Lot" in custom and "42" in custom
    assert openpyxl.load_workbook(path).properties.title == "Limits"


# --- what cannot be kept ------------------------------------------------------

def decorated_book(path):
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet("Supply")
    write_table(ws, [["core", 3.3, None, None, "V", "VDD", "float"], ["io", 1.8, None, None, "V", "VIO", "float"]])
    ws.add_sparkline("J2", {"range": "Supply!B2:B3"})
    ws.conditional_format("B2:B3", {"type": "data_bar", "bar_solid": True})
    ws.insert_textbox("J5", "calibrated 2024")
    wb.add_worksheet("Plain").write("A1", 1)
    wb.close()
    return path


def test_one_warning_names_the_file_and_what_is_dropped(tmp_path):
    path = decorated_book(str(tmp_path / "d.xlsx"))
    book = BookParameters(path)
    book.load_sheet("Supply")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        book.save()
    assert [(w.category, str(w.message)) for w in caught] == [
        (UserWarning, path + ": this save drops what openpyxl cannot keep: "
                             "Supply: 1 data bar extension, 1 sparkline group, 1 text box")]
    assert caught[0].filename == __file__
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        book.save()  # nothing left to drop
    assert caught == []


def test_warning_made_an_error_leaves_the_file_alone(tmp_path):
    path = decorated_book(str(tmp_path / "d.xlsx"))
    with open(path, "rb") as f:
        before = f.read()
    book = BookParameters(path)
    book.load_sheet("Supply")
    book.set_value("VDD", 3.4)
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        with pytest.raises(UserWarning, match="drops what openpyxl cannot keep"):
            book.save()
    with open(path, "rb") as f:
        assert f.read() == before
    assert os.listdir(str(tmp_path)) == ["d.xlsx"]


# --- bad input ----------------------------------------------------------------

BAD = {
    "rejected formula": ("xl/worksheets/sheet2.xml", '<c r="B1"><f>SUM((A1</f><v>1</v></c>'),
    "circular": ("xl/worksheets/sheet2.xml", '<c r="B1"><f>C1</f><v>0</v></c><c r="C1"><f>B1</f><v>0</v></c>'),
    "name to a missing sheet": ("xl/worksheets/sheet2.xml", '<c r="B1"><f>GONE*2</f><v>4</v></c>'),
    "no stored results": ("xl/worksheets/sheet2.xml", '<c r="B1"><f>Supply!B3*3</f></c>'),
    "huge dimension": ("xl/worksheets/sheet2.xml", ""),
}


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_input_saves_and_keeps_what_it_can(tmp_path, case):
    path = str(tmp_path / "b.xlsx")
    wb = xlsxwriter.Workbook(path)
    write_table(wb.add_worksheet("Supply"), [["core", 3.3, None, None, "V", "VDD", "float"],
                                             ["standby", 0.002, None, None, "A", "IDD", "float"]])
    wb.add_worksheet("Calc").write_formula("A1", "=Supply!B3*2", None, 0.004)
    wb.define_name("GONE", "=Missing!$A$1")
    wb.close()
    part, cells = BAD[case]
    rewrite_part(path, part, lambda s: s.replace("</c></row>", "</c>" + cells + "</row>", 1)
                 .replace('<dimension ref="A1"/>', '<dimension ref="A1:G1000000"/>'))
    book = BookParameters(path)
    book.load_sheet("Supply")
    book.set_value("VDD", 3.4)
    book.save()
    wb = openpyxl.load_workbook(path, data_only=True)
    assert wb["Calc"]["A1"].value == 0.004
    assert wb["Supply"]["B2"].value == 3.4


@pytest.mark.parametrize("doctype, error", [
    ("<!DOCTYPE worksheet>", "xl/worksheets/sheet2.xml: a document type declaration is not allowed"),
    ('<!DOCTYPE worksheet [<!ENTITY a "b">]>', ""),   # openpyxl's parser refuses it first
])
def test_doctype_in_a_part_refuses_the_save(tmp_path, doctype, error):
    path = formula_book(str(tmp_path / "f.xlsx"))
    rewrite_part(path, "xl/worksheets/sheet2.xml", lambda s: s.replace("<worksheet", doctype + "<worksheet", 1))
    with open(path, "rb") as f:
        before = f.read()
    book = BookParameters(path)
    with pytest.raises(Exception, match=error or None):
        book.save()
    with open(path, "rb") as f:
        assert f.read() == before
    assert os.listdir(str(tmp_path)) == ["f.xlsx"]


@pytest.mark.parametrize("change", [True, False])
def test_array_formula_block_goes_with_its_formula(tmp_path, change):
    path = str(tmp_path / "a.xlsx")
    wb = xlsxwriter.Workbook(path)
    write_table(wb.add_worksheet("Supply"), [["core", 3.3, None, None, "V", "VDD", "float"],
                                             ["io", 1.8, None, None, "V", "VIO", "float"]])
    calc = wb.add_worksheet("Calc")
    calc.write_array_formula("A1:A2", "{=Supply!B2:B3*2}", None, 6.6)
    calc.write_formula("A3", "=A2+1", None, 1)     # reads the block, not its formula cell
    wb.close()
    book = BookParameters(path)
    book.load_sheet("Supply")
    if change:
        book.set_value("VDD", 3.4)
    book.save()
    assert calc_a(path, 3) == ([None, None, None] if change else [6.6, 0, 1])


def test_text_before_runs_is_kept_and_its_flattened_formatting_said(tmp_path):
    # openpyxl's rich-text reader keeps only the text that an item has before
    # its runs: such a workbook is opened without rich text instead.
    path = str(tmp_path / "r.xlsx")
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet("Notes")
    ws.write_rich_string("A1", "ab", wb.add_format({"bold": True}), "cd")
    wb.close()
    rewrite_part(path, "xl/sharedStrings.xml", lambda s: s.replace("<si><r><t>ab</t></r>", "<si><t>ab</t>"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        BookParameters(path).save()
    assert openpyxl.load_workbook(path)["Notes"]["A1"].value == "abcd"
    assert [str(w.message) for w in caught] == [path + ": this save drops what openpyxl cannot keep: workbook: 1 text formatting run"]
