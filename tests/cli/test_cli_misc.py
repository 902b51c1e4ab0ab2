import json
import os
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
    assert err == ("testparams: error: %s:Broken!C3: b: NameError: name 'lowest' is not "
                   "defined\n" % broken_book)
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
    (["--version"], 0, "testparams 0."),
    ([], 2, "a command is required"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    (["get", "book.xlsx"], 2, "the following arguments are required: NAME"),
])
def test_help_and_usage(cli, argv, status, text):
    code, out, err = cli(*argv)
    assert code == status
    assert text in out + err
    assert "--no-eval" not in out


@pytest.mark.parametrize("argv, key", [
    (["show", "{book}"], "sheets"),
    (["get", "{book}", "VDD", "--sheet", "Supply"], "value"),
    (["set", "{book}", "loops", "7"], "was"),
    (["check", "{book}"], "workbooks"),
    (["diff", "{book}", "{book}"], "differences"),
    (["new", "{tmp}/n.xlsx", "A"], "header"),
])
def test_json_is_one_document_on_every_command(cli, supply_book, tmp_path, argv, key):
    argv = [a.replace("{book}", str(supply_book)).replace("{tmp}", str(tmp_path)) for a in argv]
    status, out, err = cli(*argv + ["--json"])
    assert status in (0, 1) and err == ""
    assert key in json.loads(out)


def on_terminal(cli, env, *argv):
    """stdout of the command when it writes to a terminal."""
    import pty
    master, slave = pty.openpty()
    try:
        proc = subprocess.run([cli.exe] + [str(a) for a in argv], stdout=slave,
                              stderr=subprocess.PIPE, env=env)
        os.close(slave)
        chunks = []
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(master)
    return proc.returncode, b"".join(chunks).decode()


@pytest.mark.parametrize("no_color, coloured", [(None, True), ("", False), ("1", False)])
def test_colour_only_on_a_terminal_without_no_color(cli, supply_book, no_color, coloured):
    env = dict(os.environ)
    env.pop("NO_COLOR", None)
    if no_color is not None:
        env["NO_COLOR"] = no_color
    status, out = on_terminal(cli, env, "check", supply_book, "--sheet", "Supply")
    assert status == 0 and "no problems found" in out
    assert ("\033[" in out) == coloured
    assert "\033[" not in cli("check", supply_book, "--sheet", "Supply", env=env)[1]


def test_layout_words_are_the_modules(tmp_path):
    """The header texts and type words the tool knows are those of the module."""
    api = pytest.importorskip("orv_testparameters")
    from testparams import layout
    book = api.Workbook()
    table = api.SheetParameters()
    table.sheet_rename("S")
    table.save(book)
    assert tuple(cell.value for cell in book["S"][1]) == layout.HEADER
    for word in layout.KNOWN_TYPES + ("", " Int ", "FLOAT"):
        api.SheetParameters(True)._parse_value("1", word)
    for word in ("integer", "text", "flaot"):
        with pytest.raises(TypeError, match="Unknown variable type"):
            api.SheetParameters(True)._parse_value("1", word)


def test_example_workbook_is_what_its_script_makes_and_checks_clean(cli, tmp_path):
    fresh = tmp_path / "parameters.xlsx"
    subprocess.check_call([sys.executable, os.path.join(ROOT, "examples", "make_example.py"),
                           str(fresh)], stdout=subprocess.DEVNULL)
    assert cli("diff", EXAMPLE, fresh, "--eval") == (0, "no differences\n", "")
    assert cli("check", EXAMPLE, "--sheet", "Supply", "--sheet", "Station", "--eval")[0] == 0
    assert cli("check", EXAMPLE, "--sheet", "Timing", "--relative")[0] == 0
    status, out, _ = cli("show", EXAMPLE, "--json", "--eval")
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
