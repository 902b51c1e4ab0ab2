import datetime
import json

import pytest

SUPPLY_TABLE = """\
sheet "Supply": 6 parameters
Name      Value     Low  Up   Unit  Type   Description
--------  --------  ---  ---  ----  -----  ------------
VDD       3.3       3.0  3.6  V     float  Core supply
channel   2         1    4          int    Channel
sense     True                      bool   Remote sense
resource  GPIB0::5                  str    Resource
prefix    b'SN-'                    bytes  Prefix
loops     10                        auto   Loops
"""


def test_show_prints_converted_values_as_an_aligned_table(cli, supply_book):
    status, out, err = cli("show", supply_book, "Supply")
    assert (status, err) == (0, "")
    assert out == SUPPLY_TABLE
    titles = [line for line in cli("show", supply_book)[1].splitlines()
              if line.startswith("sheet ")]
    assert titles == ['sheet "Supply": 6 parameters', 'sheet "Station": 2 parameters']


def test_show_aligns_wide_characters_and_shortens_long_values(cli, books, tmp_path):
    path = books.write(tmp_path / "w.xlsx", {"S": [
        ("電源電圧", "x" * 60, None, None, "V", "電圧", "str"),
        ("plain", "short", None, None, "V", "v", "str"),
    ]})
    status, out, _ = cli("show", path)
    assert status == 0
    lines = out.splitlines()
    shortened = "x" * 37 + "..."
    gap = "  " + " " * 3 + "  " + " " * 2 + "  "   # empty Low and Up columns
    assert lines[3] == "電圧  " + shortened + gap + "V     str   電源電圧"
    assert lines[4] == "v     " + "short".ljust(40) + gap + "V     str   plain"
    # --json gives the value whole
    assert json.loads(cli("show", path, "--json")[1])["sheets"][0]["parameters"][0]["value"] \
        == "x" * 60


def test_show_json_keeps_types_that_json_has(cli, books, tmp_path):
    path = books.write(tmp_path / "j.xlsx", {
        "S": [
            ("d", 1.5, 1, 2, "V", "f", "float"),
            ("raw", "Zürich", None, None, None, "b", "bytes"),
            (None, datetime.datetime(2026, 6, 30, 8, 0), None, None, None, "due", "auto"),
            (None, "nan", None, None, None, "n", "float"),
            ("flag", "no", None, None, None, "ok", "boolean"),
            (None, "[1, 2]", None, None, None, "ramp", "eval"),
        ],
        "Empty": [],
    })
    assert cli("show", path, "--json")[0] == 2   # the eval cell needs --eval
    status, out, _ = cli("show", path, "--json", "--eval")
    assert status == 0
    doc = json.loads(out)
    assert doc["book"] == str(path)
    assert [s["name"] for s in doc["sheets"]] == ["S", "Empty"]
    assert doc["sheets"][1]["parameters"] == []
    params = {p["name"]: p for p in doc["sheets"][0]["parameters"]}
    assert params["f"] == {"name": "f", "value": 1.5, "low": 1.0, "up": 2.0, "unit": "V",
                           "type": "float", "description": "d"}
    assert params["b"]["value"] == "Zürich"
    assert params["due"]["value"] == "2026-06-30T08:00:00"
    assert params["due"]["description"] is None
    assert params["n"]["value"] == "nan"
    assert params["ok"]["value"] is False
    assert params["ramp"]["value"] == [1, 2]


@pytest.mark.parametrize("argv, expected", [
    # Without --sheet the last loaded sheet holding the name wins.
    (["VDD"], "5.0\n"),
    (["VDD", "--sheet", "Supply"], "3.3\n"),
    (["sense"], "True\n"),
    (["resource"], "GPIB0::5\n"),
    (["VDD", "--sheet", "Supply", "--limits"], "value 3.3\nlow   3.0\nup    3.6\n"),
    (["VDD", "--relative"], "value 5.0\nlow   4.5\nup    5.5\n"),
    (["resource", "--relative"], "value GPIB0::5\nlow\nup\n"),
])
def test_get(cli, supply_book, argv, expected):
    status, out, err = cli("get", supply_book, *argv)
    assert (status, out, err) == (0, expected, "")


def test_get_relative_limit_that_cannot_be_added_is_an_error(cli, books, tmp_path):
    path = books.write(tmp_path / "r.xlsx", {"S": [("list", "[1, 2]", "1", None, None, "l",
                                                   "eval")]})
    status, out, err = cli("get", path, "l", "--relative", "--eval")
    assert (status, out) == (2, "")
    assert 'relative low limit of "l"' in err
    assert len(err.splitlines()) == 1
