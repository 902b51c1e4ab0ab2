"""The pytest plugin, run through pytester against workbooks built here."""
import csv
import fnmatch
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

openpyxl = pytest.importorskip("openpyxl")
pytest.importorskip("orv_testparameters")

pytest_plugins = ["pytester"]

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")
SHEETS = {
    "Supply": [("Core supply", 3.3, 3.135, 3.465, "V", "VDD", "float"),
               ("Standby current", 0.002, None, 0.005, "A", "IDD_standby", "float"),
               ("I/O supply", 1.8, 1.71, 1.89, "V", "VDD_IO", "float"),
               ("Bad limit", 1.0, None, "high", None, "text_limit", "auto")],
    "Station": [("Station supply", 5.0, 4.5, 5.5, "V", "VDD_IO", "float")],
    "Timing": [("Clock period", 40.0, -0.4, 0.4, "ns", "clk_period", "float")],
    "Ramp": [("Ramp steps", "[0, 1]", None, None, None, "ramp", "eval")],
}
SHEET_ARGS = ["--tp-sheet", "Supply", "--tp-sheet", "Station", "--tp-sheet", "Timing"]


def write_book(path):
    book = openpyxl.Workbook()
    book.remove(book.active)
    for title, rows in SHEETS.items():
        sheet = book.create_sheet(title)
        sheet.append(HEADER)
        for row in rows:
            sheet.append(list(row))
    book.save(str(path))


@pytest.fixture
def station(pytester):
    write_book(pytester.path / "station.xlsx")
    return pytester


SUITE = """
import pytest
from orv_testparameters import BookParameters

def test_pass(tp_check, tp_book):
    assert tp_book.get_all_sheet_names() == ["Supply", "Station", "Timing"]
    assert tp_check("VDD", 3.3).location == "station.xlsx:Supply!F2"
    tp_check("IDD_standby", -1.0)                 # no lower limit
    tp_check("VDD_IO", 1.8, sheet="Supply")

class Reading(float):                             # prints itself otherwise, as numpy's do
    def __repr__(self):
        return "Reading(%s)" % float.__repr__(self)

def test_above(tp_check):
    tp_check("VDD", Reading(3.52))

def test_below(tp_check):
    tp_check("VDD_IO", 4.4)                       # Station, loaded later, wins

def test_missing(tp_check):
    tp_check("VDDX", 1.0)

@pytest.mark.parametrize("value", [None, "3.3", float("nan"), True])
def test_no_number(tp_check, value):
    tp_check("VDD", value)

def test_text_limit(tp_check):
    tp_check("text_limit", 1.0)

def test_relative(tp_check):
    tp_check("clk_period", 40.3, mode=BookParameters.LIMIT_MODE_RELATIVE)
    tp_check("clk_period", 40.5, mode="relative")

@pytest.mark.tp_parameters("Supply", prefix="VDD")
def test_each(tp_parameter, tp_check):
    tp_check(tp_parameter, tp_parameter.value)    # the record's own sheet, not Station
"""

FAILURES = [
    "VDD = 3.52 V is above its upper limit 3.465 V (station.xlsx:Supply!D2)",
    "VDD_IO = 4.4 V is below its lower limit 4.5 V (station.xlsx:Station!C2)",
    'no parameter named "VDDX" in station.xlsx (sheets searched: Timing, Station, Supply)',
    "VDD: measured value None (NoneType) is no number (station.xlsx:Supply!F2)",
    "VDD: measured value '3.3' (str) is no number (station.xlsx:Supply!F2)",
    "VDD = nan V is not a number (NaN), never within limits (station.xlsx:Supply!F2)",
    "VDD: measured value True (bool) is no number (station.xlsx:Supply!F2)",
    "text_limit: its upper limit 'high' (str) is no number (station.xlsx:Supply!D5)",
    "clk_period = 40.5 ns is above its upper limit 40.4 ns = 40.0 + 0.4 "
    "(station.xlsx:Timing!D2)",
]


def refuse_constant(text):
    raise ValueError("not JSON: %s" % text)


def test_checks_pass_fail_and_are_recorded(station):
    station.makepyfile(test_suite=SUITE)
    result = station.runpytest("--tp-book", "station.xlsx", *SHEET_ARGS,
                               "--junitxml", "junit.xml", "--tp-report", "checks.json")
    out = result.stdout.str()
    result.assert_outcomes(passed=3, failed=9)
    # Each failure is its one line, without a traceback.
    lines = out.splitlines()
    assert [line for line in lines if line in FAILURES] == FAILURES
    assert "Traceback" not in out and "def test_above" not in out
    assert "incompatible with junit_family" not in out
    result.stdout.fnmatch_lines(["*= parameter checks =*",
                                 "FAIL*VDD*3.52*3.135*3.465*V*test_suite.py::test_above",
                                 "PASS*VDD_IO*1.8*1.71*1.89*V*test_suite.py::test_each?VDD_IO?",
                                 "15 checks: 6 passed, 9 failed"])

    cases = {case.get("name"): case for case in ET.parse("junit.xml").getroot().iter("testcase")}
    properties = dict((p.get("name"), p.get("value")) for p in cases["test_above"].iter("property"))
    assert properties == {"tp.VDD.measured": "3.52", "tp.VDD.low": "3.135",
                          "tp.VDD.up": "3.465", "tp.VDD.unit": "V", "tp.VDD.verdict": "fail",
                          "tp.VDD.location": "station.xlsx:Supply!D2"}
    verdicts = [p.get("value") for p in cases["test_pass"].iter("property")
                if p.get("name").endswith(".verdict")]
    assert verdicts == ["pass", "pass", "pass"]

    with open("checks.json") as handle:
        report = json.load(handle, parse_constant=refuse_constant)
    assert (report["book"], report["sheets"], report["passed"], report["failed"]) == \
        ("station.xlsx", ["Supply", "Station", "Timing"], 6, 9)
    checks = report["checks"]
    assert len(checks) == 15
    assert checks[3] == {"test": "test_suite.py::test_above", "name": "VDD", "sheet": "Supply",
                         "location": "station.xlsx:Supply!D2", "measured": 3.52, "low": 3.135,
                         "up": 3.465, "unit": "V", "mode": "absolute", "verdict": "fail",
                         "message": FAILURES[0]}


def test_ini_settings_relative_default_and_csv_report(station, monkeypatch):
    folder = station.path / "books"
    folder.mkdir()
    (station.path / "station.xlsx").rename(folder / "station.xlsx")
    (station.path / "out").mkdir()
    station.makeini("[pytest]\ntp_book = books/station.xlsx\ntp_sheets =\n    Timing\n"
                    "tp_relative = true\ntp_report = out/checks.csv\n")
    station.makepyfile(test_timing="""
        def test_clock(tp_check):
            tp_check("clk_period", 39.7)
            tp_check("clk_period", 39.5)

        def test_text(tp_check):
            tp_check("clk_period", "40.1")
        """)
    # Run from elsewhere: paths in the ini file are relative to its folder.
    monkeypatch.chdir(str(folder))
    result = station.runpytest(str(station.path), "-q")
    result.assert_outcomes(failed=2)
    book = str(folder / "station.xlsx")
    result.stdout.fnmatch_lines(["clk_period = 39.5 ns is below its lower limit 39.6 ns = "
                                 "40.0 - 0.4 (%s:Timing!C2)" % book,
                                 "FAIL *clk_period*39.5*", "FAIL *clk_period*'40.1'*",
                                 "3 checks: 1 passed, 2 failed"])
    assert "PASS" not in result.stdout.str()  # -q: the table holds the failed checks
    assert "parameters: %s, sheets Timing (relative limits)" % book in \
        station.runpytest(str(station.path), "--co").stdout.str()
    with open(str(station.path / "out" / "checks.csv"), newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert [(r["measured"], r["low"], r["up"], r["mode"], r["verdict"]) for r in rows] == [
        ("39.7", "39.6", "40.4", "relative", "pass"),
        ("39.5", "39.6", "40.4", "relative", "fail"),
        ("'40.1'", "39.6", "40.4", "relative", "fail")]  # a text stays apart from a number


USES_CHECK = "def test_it(tp_check):\n    tp_check('VDD', 3.3)\n"


@pytest.mark.parametrize("args, source, status, line", [
    (["--tp-book", "missing.xlsx"], USES_CHECK, 4, "ERROR: missing.xlsx: no such file"),
    (["--tp-book", "station.xlsx", "--tp-sheet", "Power"], USES_CHECK, 4,
     'ERROR: station.xlsx: no sheet named "Power" (sheets: Supply, Station, Timing, Ramp)'),
    (["--tp-book", "station.xlsx"], USES_CHECK, 4,
     'ERROR: station.xlsx:Ramp!B2: ramp: Variable type "eval" is not supported by this '
     'program. (--tp-eval evaluates "eval" cells: only for workbooks you trust)'),
    (["--tp-book", "station.xlsx", "--tp-sheet", "Supply", "--tp-report", "no/r.json"],
     USES_CHECK, 4, "ERROR: no/r.json: cannot write the parameter report: no folder *no"),
    (["--tp-book", "station.xlsx", "--tp-sheet", "Supply"],
     "import pytest\n@pytest.mark.tp_parameters('Supply', 'XYZ')\n"
     "def test_it(tp_parameter):\n    pass\n", 2,
     '@pytest.mark.tp_parameters: no parameter in station.xlsx:Supply starts with "XYZ"'),
    ([], USES_CHECK, 1,
     "no parameter workbook: give --tp-book PATH or set tp_book in the ini file"),
    (["--tp-book", "station.xlsx", "--tp-sheet", "Ramp", "--tp-eval"],
     "def test_it(tp_book):\n    assert tp_book.get_value('ramp') == [0, 1]\n", 0, "*1 passed*"),
], ids=["no book", "no sheet", "eval refused", "report folder", "no case", "unconfigured",
        "eval allowed"])
def test_bad_input_is_one_line_without_traceback(station, args, source, status, line):
    station.makepyfile(test_it=source)
    result = station.runpytest(*args)
    assert result.ret == status
    output = result.outlines + result.errlines
    assert "Traceback" not in "\n".join(output)
    assert len([text for text in output if fnmatch.fnmatch(text, line)]) == 1, output
    if not args:  # nothing of the plugin shows
        assert "parameters:" not in result.stdout.str()
        assert "parameter checks" not in result.stdout.str()


def test_plugin_type_checks(tmp_path):
    pytest.importorskip("mypy")
    plugin = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "testparams", "pytest_plugin.py")
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), "--follow-imports=silent",
         "--disallow-untyped-defs", "--disallow-incomplete-defs", "--no-implicit-optional",
         plugin], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert run.returncode == 0, run.stdout
