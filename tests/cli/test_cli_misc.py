import json
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(ROOT, "examples", "parameters.xlsx")


@pytest.fixture
def broken_book(books, tmp_path):
    return books.write(tmp_path / "broken.xlsx", {
        "Good": [(None, 1, None, None, None, "a", "int")],
        "Broken": [
            (None, 1, None, None, None, "a", "int"),
            (None, 2, "lowest", None, None, "b", "int"),
        ],
    })


@pytest.mark.parametrize("argv", [
    ["show", "{book}"],
    ["get", "{book}", "a"],
    ["set", "{book}", "a", "3"],
    ["diff", "{book}", "{book}"],
])
def test_a_row_that_fails_to_load_is_named_in_one_line(cli, books, broken_book, argv):
    before = books.digest(broken_book)
    status, out, err = cli(*[arg.replace("{book}", str(broken_book)) for arg in argv])
    assert (status, out) == (2, "")
    assert err == ('testparams: error: %s: sheet "Broken", row 3, column C (Low): NameError: '
                   "name 'lowest' is not defined\n" % broken_book)
    assert books.digest(broken_book) == before


def test_debug_adds_the_traceback(cli, broken_book):
    status, _, err = cli("show", broken_book, "--debug")
    assert status == 2
    assert "Traceback" in err
    assert err.splitlines()[-1].startswith("testparams: error: ")


@pytest.mark.parametrize("argv, status, text", [
    (["--help"], 0, "diff      compare the parameters of two workbooks"),
    (["check", "--help"], 0, "exit status: 0 no problems, 1 problems found"),
    (["set", "--help"], 0, "--output NEWBOOK"),
    ([], 2, "a command is required"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    (["get", "book.xlsx"], 2, "the following arguments are required: NAME"),
])
def test_help_and_usage(capsys, argv, status, text):
    from testparams.cli import main
    assert main(argv) == status
    out, err = capsys.readouterr()
    assert text in out + err


def test_installed_console_script(books, tmp_path):
    exe = shutil.which("testparams")
    if exe is None:
        pytest.skip("the testparams console script is not installed")
    path = books.write(tmp_path / "p.xlsx", {"S": [(None, 3.3, 3, 4, "V", "VDD", "float")]})
    run = subprocess.run([exe, "get", str(path), "VDD", "--limits"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "value 3.3\nlow   3.0\nup    4.0\n", "")
    run = subprocess.run([exe, "get", str(tmp_path / "none.xlsx"), "VDD"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert run.returncode == 2
    assert run.stderr == "testparams: error: %s: no such file\n" % (tmp_path / "none.xlsx")


def test_example_workbook_is_what_its_script_makes_and_checks_clean(cli, tmp_path):
    fresh = tmp_path / "parameters.xlsx"
    subprocess.check_call([sys.executable, os.path.join(ROOT, "examples", "make_example.py"),
                           str(fresh)], stdout=subprocess.DEVNULL)
    assert cli("diff", EXAMPLE, fresh) == (0, "no differences\n", "")
    assert cli("check", EXAMPLE, "Supply", "Station")[0] == 0
    assert cli("check", EXAMPLE, "Timing", "--relative")[0] == 0
    status, out, _ = cli("show", EXAMPLE, "--json")
    types = set()
    for sheet in json.loads(out)["sheets"]:
        types.update(p["type"] for p in sheet["parameters"])
    assert {"auto", "unicode", "str", "string", "bytes", "int", "float", "bool", "boolean",
            "eval", None} <= types


def test_chart_sheets_are_left_out(cli, books, tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    from openpyxl.chart import BarChart, Reference
    rows = [(None, 1.0, None, None, None, "a", "float")]
    path = str(books.write(tmp_path / "c.xlsx", {"S": rows}))
    book = openpyxl.load_workbook(path)
    chart = BarChart()
    chart.add_data(Reference(book["S"], min_col=2, min_row=1, max_row=2))
    book.create_chartsheet("Chart").add_chart(chart)
    book.save(path)
    assert cli("show", path)[1].splitlines()[0] == 'sheet "S": 1 parameter'
    assert cli("check", path) == (0, "%s: no problems found\n" % path, "")
    status, _, err = cli("show", path, "Chart")
    assert status == 2 and 'sheet "Chart" is a chart sheet' in err
