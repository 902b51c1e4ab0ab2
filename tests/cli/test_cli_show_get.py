import datetime
import json

import pytest

SUPPLY_TABLE = """\
sheet "Supply": 7 parameters
Name      Value     Low  Up   Unit  Type   Description
--------  --------  ---  ---  ----  -----  ------------
VDD       3.3       3.0  3.6  V     float  Core supply
channel   2         1    4          int    Channel
sense     True                      bool   Remote sense
resource  GPIB0::5                  str    Resource
ramp      [1, 2]              V     eval   Ramp
prefix    b'SN-'                    bytes  Prefix
loops     10                        auto   Loops
"""


def test_show_prints_converted_values_as_an_aligned_table(cli, supply_book):
    status, out, err = cli("show", supply_book, "Supply")
    assert (status, err) == (0, "")
    assert out == SUPPLY_TABLE


def test_show_without_sheets_shows_every_sheet_in_workbook_order(cli, supply_book):
    status, out, _ = cli("show", supply_book)
    assert status == 0
    titles = [line for line in out.splitlines() if line.startswith("sheet ")]
    assert titles == ['sheet "Supply": 7 parameters', 'sheet "Station": 2 parameters']


def test_show_json_keeps_types_that_json_has(cli, books, tmp_path):
    path = books.write(tmp_path / "j.xlsx", {
        "S": [
            ("d", 1.5, 1, 2, "V", "f", "float"),
            ("raw", "Zürich", None, None, None, "b", "bytes"),
            (None, datetime.datetime(2026, 6, 30, 8, 0), None, None, None, "due", "auto"),
            (None, "nan", None, None, None, "n", "float"),
            ("flag", "no", None, None, None, "ok", "boolean"),
        ],
        "Empty": [],
    })
    status, out, _ = cli("show", path, "--json")
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


@pytest.mark.parametrize("argv, expected", [
    # Without --sheet the last loaded sheet holding the name wins.
    (["VDD"], "5.0\n"),
    (["VDD", "--sheet", "Supply"], "3.3\n"),
    (["sense"], "True\n"),
    (["resource"], "GPIB0::5\n"),
    (["VDD", "--sheet", "Supply", "--limits"], "value 3.3\nlow   3.0\nup    3.6\n"),
    (["VDD", "--relative"], "value 5.0\nlow   4.5\nup    5.5\n"),
    (["ramp", "--relative"], "value [1, 2]\nlow\nup\n"),
])
def test_get(cli, supply_book, argv, expected):
    status, out, err = cli("get", supply_book, *argv)
    assert (status, out, err) == (0, expected, "")


def test_get_relative_limit_that_cannot_be_added_is_an_error(cli, books, tmp_path):
    path = books.write(tmp_path / "r.xlsx", {"S": [("list", "[1, 2]", "1", None, None, "l",
                                                   "eval")]})
    status, out, err = cli("get", path, "l", "--relative")
    assert (status, out) == (2, "")
    assert 'relative low limit of "l"' in err
    assert len(err.splitlines()) == 1
