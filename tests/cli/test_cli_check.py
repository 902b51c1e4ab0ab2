import pytest

BAD_ROWS = [
    ("fine", 1.0, 0, 2, "V", "good", "float"),                   # row 2
    (None, "abc", None, None, None, "badfloat", "float"),         # row 3
    (None, 1, None, None, None, " padded", "int"),                # row 4
    (None, 5, 0, 4, None, "high", "float"),                       # row 5
    (None, -1, 0, 4, None, "low", "float"),                       # row 6
    (None, 2.5, 3, 2, None, "crossed", "float"),                  # row 7
    (None, 1, None, None, None, "good", "float"),                 # row 8
    (None, "x", None, None, None, "t", "flaot"),                  # row 9
    (None, None, None, None, None, "t2", "flaot"),                # row 10
    (None, 1, None, None, None, "typenum", 5),                    # row 11
    (None, "note: nothing below is loaded", None, None, None, None, None),  # row 12
    (None, 1, None, None, None, "lost", "float"),                 # row 13
]

BAD_REPORT = [
    "row 3, column B (Value): row fails to load: could not convert string to float: 'abc'",
    'row 4, column F (Name): name " padded" has leading or trailing blanks',
    "row 5, column B (Value): value 5.0 is above its upper limit 4.0",
    "row 6, column B (Value): value -1.0 is below its lower limit 0.0",
    "row 7, column B (Value): value 2.5 is below its lower limit 3.0",
    "row 7, column C (Low): low limit 3.0 is above upper limit 2.0",
    'row 8, column F (Name): name "good" repeats row 2; loading keeps the record of the '
    "last such row",
    "row 9, column B (Value): row fails to load: Unknown variable type: flaot",
    'row 10, column G (Type): unknown variable type "flaot": loading fails once a Value, '
    "Low or Up cell is filled",
    "row 11, column G (Type): row fails to load: AttributeError: 'int' object has no "
    "attribute 'strip'",
    'row 13, column F (Name): parameter "lost" is never loaded: the empty Name cell in row '
    "12 ends the table",
]


def test_check_reports_each_problem_with_sheet_row_and_column(cli, books, tmp_path):
    path = books.write(tmp_path / "bad.xlsx", {"Bad": BAD_ROWS})
    status, out, err = cli("check", path)
    assert (status, err) == (1, "")
    prefix = '%s: sheet "Bad", ' % path
    assert out.splitlines() == [prefix + line for line in BAD_REPORT] + [
        "%s: %d problems found" % (path, len(BAD_REPORT))]


def test_check_header_and_formula_without_stored_result(cli, books, tmp_path):
    header = ("Description", "Value", "Low", "Up", "Unit", "Parameter", "Type")
    path = books.write(tmp_path / "h.xlsx", {
        "Sheet A": [header, (None, 1.0, None, "=B2*2", None, "a", "float")]}, header=False)
    status, out, _ = cli("check", path)
    assert status == 1
    assert out.splitlines()[:2] == [
        '%s: sheet "Sheet A", row 1, column F (Name): header reads "Parameter" where "Name" is '
        "expected (columns are read by position)" % path,
        '%s: sheet "Sheet A", row 2, column D (Up): formula =B2*2 has no stored result; '
        "loading reads an empty cell (open and save the workbook in a spreadsheet program)"
        % path]


def test_check_no_eval_reports_eval_cells_and_runs_no_int_expression(cli, books, tmp_path):
    # Without eval support the module reads "int" cells as literal arithmetic only.
    marker = tmp_path / "ran"
    expression = "__import__('pathlib').Path(%r).touch() or 1" % str(marker)
    path = books.write(tmp_path / "e.xlsx", {"Evals": [
        (None, "[1]", "[0]", None, None, "e", "eval"),
        (None, expression, None, None, None, "boom", "int"),
        (None, "0x10", "-3", "6*7", None, "plain", "int"),
    ]})
    status, out, _ = cli("check", path, "--no-eval")
    assert status == 1
    lines = [line.split('sheet "Evals", ', 1)[1] for line in out.splitlines()[:-1]]
    refused = '"eval" cell refused with --no-eval: Variable type "eval" is not supported by ' \
              'this program.'
    assert lines == [
        "row 2, column B (Value): " + refused,
        "row 2, column C (Low): " + refused,
        "row 3, column B (Value): row fails to load: Cannot evaluate \"%s\": only numbers, "
        "strings, parentheses and the operators + - * / // %% ** are allowed when eval is not "
        "supported" % (expression if len(expression) <= 100 else expression[:100] + "..."),
    ]
    assert not marker.exists()
    assert cli("show", path, "Evals", "--no-eval")[0] == 2
    assert not marker.exists()
    # without --no-eval the workbook is trusted: the module evaluates "int" cells
    status, out, _ = cli("check", path)
    assert (status, out) == (0, "%s: no problems found\n" % path)
    assert marker.exists()


@pytest.mark.parametrize("argv, status, expected", [
    (["Abs"], 0, []),
    (["Rel", "--relative"], 0, []),
    (["Rel"], 1, ['sheet "Rel", row 3, column B (Value): value 10.0 is above its upper limit '
                  "0.5; read as relative limits (--relative) it is inside them"]),
    (["Shifted", "--relative"], 1, [
        'sheet "Shifted", row 2, column B (Value): value 10.0 is below its lower limit 10.5 '
        "(value + low)"]),
])
def test_check_limits_absolute_and_relative(cli, books, tmp_path, argv, status, expected):
    path = books.write(tmp_path / "l.xlsx", {
        "Abs": [(None, 3.3, 3.0, 3.6, "V", "v", "float"), (None, 3, None, 4, None, "n", "int")],
        "Rel": [(None, 0.0, -1, 1, None, "z", "float"), (None, 10, -0.5, 0.5, None, "p", "float")],
        "Shifted": [(None, 10, 0.5, 1, None, "s", "float")],
    })
    code, out, _ = cli("check", path, *argv)
    assert code == status
    found = [line.split(": ", 1)[1] for line in out.splitlines()[:-1]]
    assert found == expected


@pytest.mark.parametrize("make, message", [
    (lambda tmp: tmp / "missing.xlsx", "no such file"),
    (lambda tmp: tmp, "is a directory, not a workbook"),
    (lambda tmp: (tmp / "text.xlsx").write_text(u"not a workbook") and tmp / "text.xlsx",
     "cannot read as a workbook: BadZipFile: File is not a zip file"),
])
def test_check_unreadable_file_exits_2(cli, tmp_path, make, message):
    path = make(tmp_path)
    status, out, err = cli("check", path)
    assert (status, out, err) == (2, "", "testparams: error: %s: %s\n" % (path, message))


def test_check_unknown_sheet_exits_2(cli, supply_book):
    status, _, err = cli("check", supply_book, "Supply", "Nope")
    assert status == 2
    assert 'no sheet named "Nope" (sheets: Supply, Station)' in err
