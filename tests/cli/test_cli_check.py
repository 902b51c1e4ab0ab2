import json
import os
import zipfile

import pytest

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")

BAD_ROWS = [
    ("fine", 1.0, 0, 2, "V", "good", "float"),                   # row 2
    (None, "abc", None, None, None, "badfloat", "float"),         # row 3
    (None, 1, None, None, None, " padded", "int"),                # row 4
    (None, 5, 0, 4, None, "high", "float"),                       # row 5
    (None, 2.5, 3, 2, None, "crossed", "float"),                  # row 6
    (None, 1, None, None, None, "good", "float"),                 # row 7
    (None, None, None, None, None, "t2", "flaot"),                # row 8
    (None, 1, None, None, None, "typenum", 5),                    # row 9
    (None, "#DIV/0!", None, None, None, "err", "bool"),           # row 10
    (None, "ON", "enabled", 2, None, "flag", "bool"),             # row 11
    (None, "Treu", "yes", 1, None, "flag2", "boolean"),           # row 12
    (None, 3, 1, 4.5, None, "cut", "int"),                        # row 13
    (None, "10**5000", None, None, None, "huge", "int"),          # row 14
    (None, "[1]", None, None, None, "code", "eval"),              # row 15
    (None, "note: nothing below is loaded", None, None, None, None, None),  # row 16
    (None, 1, None, None, None, "lost", "float"),                 # row 17
]

BAD_REPORT = [
    "B3: badfloat: Value does not load, so neither does the sheet: could not convert "
    "string to float: 'abc'",
    "F4:  padded: name has leading or trailing blanks",
    "B5: high: value 5.0 is above its upper limit 4.0",
    "B6: crossed: value 2.5 is below its lower limit 3.0",
    "C6: crossed: low limit 3.0 is above upper limit 2.0",
    "F7: good: name repeats row 2; loading keeps this row's record",
    'G8: t2: unknown variable type "flaot": loading fails once a Value, Low or Up cell is '
    "filled",
    "G9: typenum: Type does not load, so neither does the sheet: AttributeError: 'int' "
    "object has no attribute 'strip'",
    "B10: err: Value cell holds the error #DIV/0!; it reads as False",
    "B11: flag: \"bool\" Value 'ON' is no usual word and reads as False (write true or false, "
    "yes or no, 1 or 0)",
    "C11: flag: \"bool\" Low 'enabled' is no usual word and reads as False (write true or "
    "false, yes or no, 1 or 0)",
    'D11: flag: "bool" Up 2 is no usual word and reads as False (write true or false, yes or '
    "no, 1 or 0)",
    "B12: flag2: \"bool\" Value 'Treu' is no usual word and reads as True (write true or "
    "false, yes or no, 1 or 0)",
    'D13: cut: "int" Up 4.5 is cut to 4 (write the whole number, or make the row "float")',
    'B14: huge: "int" Value is a number of about 5000 digits, beyond any float',
    'B15: code: "eval" Value cell not evaluated (--eval evaluates it: only for workbooks '
    "you trust)",
    "F17: lost: never loaded: the empty Name cell in row 16 ends the table",
]


def test_check_reports_each_problem_located_and_naming_the_parameter(cli, books, tmp_path):
    path = books.write(tmp_path / "bad.xlsx", {"Bad": BAD_ROWS})
    status, out, err = cli("check", path)
    assert (status, err) == (1, "")
    assert out.splitlines() == ["%s:Bad!%s" % (path, line) for line in BAD_REPORT] + [
        "%s: %d problems found" % (path, len(BAD_REPORT))]


def test_check_header_formulas_merged_cells_and_sheets_that_are_no_parameter_sheets(
        cli, books, tmp_path):
    header = ("Description", "Value", "Low", "Up", "Unit", "Parameter", "Type")
    path = str(books.write(tmp_path / "h.xlsx", {
        "Sheet A": [header, (None, 1.0, None, "=B2*2", None, "a", "float"),
                    (None, 2.0, None, None, None, "b", "float"),
                    (None, "=\"x\"&\"y\"", None, None, None, "c", "str")],
        "Notes": [("Changes", "by", "when"), ("new limits", "me", "today")],
    }, header=False))
    book = books.openpyxl.load_workbook(path)
    book["Sheet A"].merge_cells("A3:B3")
    book["Sheet A"].merge_cells("J2:K9")   # outside the table
    book.save(path)
    status, out, _ = cli("check", path)
    assert status == 1
    assert out.splitlines() == [
        "%s:'Sheet A'!F1: header reads \"Parameter\" where \"Name\" is expected (columns are "
        "read by position)" % path,
        "%s:'Sheet A'!D2: a: formula =B2*2 has no stored result; loading reads an empty cell "
        "(open and save the workbook in a spreadsheet program)" % path,
        "%s:'Sheet A'!A3:B3: merged cells in the table: loading reads only the first cell, and "
        "saving refuses to write into them" % path,
        "%s:'Sheet A'!B4: c: formula =\"x\"&\"y\" has no stored result; loading reads an empty "
        "cell (open and save the workbook in a spreadsheet program)" % path,
        "%s:Notes: not a parameter sheet: row 1 is no header Description, Value, Low, Up, "
        "Unit, Name, Type (choose sheets with --sheet)" % path,
        "%s: 5 problems found" % path]


@pytest.mark.parametrize("argv", [
    ["check", "{book}"], ["show", "{book}"], ["get", "{book}", "boom"],
    ["diff", "{book}", "{book}"], ["set", "{book}", "plain", "5"],
    ["check", "{book}", "--no-eval"],
])
def test_no_command_runs_workbook_code_without_eval(cli, books, tmp_path, argv):
    marker = tmp_path / "ran"
    expression = "__import__('os').system('touch %s') or 1" % marker
    path = books.write(tmp_path / "e.xlsx", {"Evals": [
        (None, expression, None, None, None, "boom", "int"),
        (None, "0x10", "-3", "6*7", None, "plain", "int"),
    ]})
    status, out, err = cli(*[arg.replace("{book}", str(path)) for arg in argv])
    assert not marker.exists()
    assert status == (1 if argv[0] == "check" else 2)
    assert "only numbers, strings, parentheses and the operators" in out + err
    if argv[0] == "check":
        assert out.splitlines()[0].startswith("%s:Evals!B2: boom: Value does not load" % path)
        # with --eval the workbook is trusted, and its code runs
        assert cli("check", path, "--eval") == (0, "%s: no problems found\n" % path, "")
        assert marker.exists()


@pytest.mark.parametrize("argv, status, expected", [
    (["--sheet", "Abs"], 0, []),
    (["--sheet", "Rel", "--relative"], 0, []),
    (["--sheet", "Rel"], 1, ["Rel!B3: p: value 10.0 is above its upper limit 0.5; read as "
                             "relative limits (--relative) it is inside them"]),
    (["--sheet", "Shifted", "--relative"], 1, [
        "Shifted!B2: s: value 10.0 is below its lower limit 10.5 (value + low)"]),
])
def test_check_limits_absolute_and_relative(cli, books, tmp_path, argv, status, expected):
    path = books.write(tmp_path / "l.xlsx", {
        "Abs": [(None, 3.3, 3.0, 3.6, "V", "v", "float"), (None, 3, None, 4, None, "n", "int")],
        "Rel": [(None, 0.0, -1, 1, None, "z", "float"), (None, 10, -0.5, 0.5, None, "p", "float")],
        "Shifted": [(None, 10, 0.5, 1, None, "s", "float")],
    })
    code, out, _ = cli("check", path, *argv)
    assert code == status
    assert [line.split(":", 1)[1] for line in out.splitlines()[:-1]] == expected


def test_names_held_by_several_sheets_say_which_one_wins(cli, supply_book):
    status, out, _ = cli("check", supply_book, "--json")
    assert status == 1
    findings = json.loads(out)["workbooks"][0]["findings"]
    held = [f for f in findings if "also held by" in f["message"]]
    assert held == [{"location": "%s:Station!F2" % supply_book, "sheet": "Station", "row": 2,
                     "column": 6, "parameter": "VDD",
                     "message": "name also held by Supply!F2; a look-up in the book finds "
                                "this one, of the sheet loaded last"}]


def broken_shared_strings(books, path):
    import xlsxwriter
    book = xlsxwriter.Workbook(str(path))
    sheet = book.add_worksheet("Supply")
    sheet.write_row(0, 0, HEADER)
    sheet.write_row(1, 0, [None, "text", None, None, None, "a", "str"])
    book.close()
    with zipfile.ZipFile(str(path)) as source:
        parts = dict((name, source.read(name)) for name in source.namelist())
    strings = parts["xl/sharedStrings.xml"]
    parts["xl/sharedStrings.xml"] = strings[:strings.index(b"<si><t>text")] + b"</sst>"
    with zipfile.ZipFile(str(path), "w") as target:
        for name, data in parts.items():
            target.writestr(name, data)


@pytest.mark.parametrize("make, message", [
    (lambda books, p: None, "no such file"),
    (lambda books, p: os.mkdir(str(p)), "folder holds no .xlsx or .xlsm workbook"),
    (lambda books, p: p.write_text(u"not a workbook"),
     "cannot read as a workbook: BadZipFile: File is not a zip file"),
    (broken_shared_strings, "Supply!B2: cannot read the cell: IndexError"),
])
def test_bad_input_is_one_line_naming_the_file_and_the_rest_is_still_checked(
        cli, books, supply_book, tmp_path, make, message):
    bad = tmp_path / "bad.xlsx"
    make(books, bad)
    status, out, err = cli("check", bad, supply_book, "--sheet", "Supply", "--eval")
    assert status == 2
    assert err.startswith("testparams: error: %s" % bad) and message in err
    assert len(err.splitlines()) == 1
    assert out == "%s: no problems found\n" % supply_book


def test_check_searches_folders_for_workbooks(cli, books, tmp_path):
    good = [(None, 1.0, 0, 2, None, "a", "float")]
    books.write(tmp_path / "b.xlsx", {"S": good})
    (tmp_path / "sub").mkdir()
    books.write(tmp_path / "sub" / "a.xlsm", {"S": [(None, 5.0, 0, 2, None, "a", "float")]})
    (tmp_path / "sub" / "notes.txt").write_text(u"x")
    status, out, _ = cli("check", tmp_path)
    assert status == 1
    assert out.splitlines() == [
        "%s: no problems found" % (tmp_path / "b.xlsx"),
        "%s:S!B2: a: value 5.0 is above its upper limit 2.0" % (tmp_path / "sub" / "a.xlsm"),
        "%s: 1 problem found" % (tmp_path / "sub" / "a.xlsm"),
    ]


def test_an_old_style_sheet_argument_is_pointed_to_the_option(cli, supply_book):
    status, out, err = cli("check", supply_book, "Supply")
    assert status == 2
    assert "Supply: no such file (to choose a sheet, write --sheet Supply)" in err


@pytest.mark.parametrize("support_eval", [False, True])
def test_the_replay_registers_what_loading_registers(books, tmp_path, support_eval):
    """check reads records from its own replay of the rows; they must be the module's."""
    api = pytest.importorskip("orv_testparameters")
    from testparams.loading import Replay
    from testparams.sheets import RawBook
    cells = [
        (1.5, 1, 2, "a", "float"), ("0x1F", "-3", "6*7", "b", " Int "),
        ("yes", None, None, "c", "bool"), (" x ", None, None, "a", None),
        (42, 40, 44, "d", "auto"), ("[1, 2]", None, None, "e", "eval"),
        ("SN", None, None, "f", "bytes"), (3, None, None, 7, "int"),
        (2.5, None, None, "b", "str"),
    ]
    rows = [("d%d" % i, v, low, up, "V", name, t) for i, (v, low, up, name, t) in enumerate(cells)]
    path = books.write(tmp_path / "r.xlsx", {"S": rows})
    with RawBook(str(path)) as raw:
        replay = Replay(api, raw.layout("S"), support_eval)
    if not support_eval:
        assert [(f.row, f.col) for f in replay.failures] == [(7, 2), (9, 6)]
        return
    assert [(f.row, f.col) for f in replay.failures] == [(9, 6)]
    rows.pop(7)  # the row named 7 fails to register; load the others
    path = books.write(tmp_path / "ok.xlsx", {"S": rows})
    table = api.BookParameters(str(path), True).load_sheet("S")
    with RawBook(str(path)) as raw:
        replay = Replay(api, raw.layout("S"), True)
    assert list(replay.records) == table.parameter_names
    for name, (para, _) in replay.records.items():
        loaded = getattr(table, name)
        assert [getattr(para, a) for a in ("name", "desc", "value", "low", "up", "unit", "type")] \
            == [getattr(loaded, a) for a in ("name", "desc", "value", "low", "up", "unit", "type")]
