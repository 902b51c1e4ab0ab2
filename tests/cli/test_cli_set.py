import os

import pytest


@pytest.mark.parametrize("name, text, stored", [
    ("VDD", "3.35", 3.35),
    ("channel", "0x10", 16),          # "int" converts as loading does
    ("channel", " 7 ", 7),
    ("sense", "No", False),
    ("resource", "  GPIB0::7  ", "GPIB0::7"),
    ("ramp", "[3, 4]", "[3, 4]"),     # eval values are written in text form
    ("prefix", "AB", "AB"),
    ("loops", "12", "12"),            # "auto" keeps the text as given
    ("VDD", "", None),                # an empty VALUE empties the cell
])
def test_set_converts_by_type_and_saves_only_that_sheet(
        cli, books, supply_book, name, text, stored):
    station_before = books.cells(supply_book, "Station")
    status, out, err = cli("set", supply_book, name, text, "--sheet", "Supply")
    assert (status, err) == (0, "")
    assert out.startswith('%s: sheet "Supply": %s = ' % (supply_book, name))
    rows = {row[5]: row for row in books.cells(supply_book, "Supply")}
    assert rows[name][1] == stored
    assert books.cells(supply_book, "Station") == station_before


def test_set_without_sheet_changes_the_parameter_that_get_finds(cli, books, supply_book):
    status, _, _ = cli("set", supply_book, "VDD", "4.8")
    assert status == 0
    assert cli("get", supply_book, "VDD") == (0, "4.8\n", "")
    assert cli("get", supply_book, "VDD", "--sheet", "Supply") == (0, "3.3\n", "")
    assert books.cells(supply_book, "Supply")[1][1] == 3.3


def test_set_output_writes_every_sheet_to_the_new_book_and_leaves_book_alone(
        cli, books, supply_book, tmp_path):
    before = books.digest(supply_book)
    out_path = tmp_path / "copy.xlsx"
    status, out, _ = cli("set", supply_book, "station", "FCT-09", "--output", out_path)
    assert status == 0
    assert out.rstrip().endswith("written to %s" % out_path)
    assert books.digest(supply_book) == before
    assert cli("get", out_path, "station") == (0, "FCT-09\n", "")
    assert cli("diff", supply_book, out_path) == (
        1, "--- %s\n+++ %s\nsheet \"Station\": changed station: value FCT-02 -> FCT-09\n"
        % (supply_book, out_path), "")


@pytest.fixture
def awkward_book(books, tmp_path):
    """Sheets that saving could not rewrite without changing other rows."""
    return books.write(tmp_path / "awkward.xlsx", {
        "Repeated": [
            (None, 1.0, None, None, None, "a", "float"),
            (None, 2.0, None, None, None, "b", "float"),
            (None, 3.0, None, None, None, "a", "float"),
        ],
        "Gap": [
            (None, 1.0, None, None, None, "a", "float"),
            (None, None, None, None, None, None, None),
            (None, 2.0, None, None, None, "hidden", "float"),
            (None, 3.0, None, None, None, " a", "float"),
        ],
        "Formula": [
            (None, 1.0, None, "=B2*2", None, "a", "float"),
        ],
        "Typed": [
            (None, 1.0, None, None, None, "f", "float"),
            (None, 1, None, None, None, "i", "int"),
            (None, "[1]", None, None, None, "e", "eval"),
        ],
        "Ints": [
            (None, 1, None, None, None, "n", "int"),
        ],
    })


@pytest.mark.parametrize("argv, message", [
    (["f", "abc", "--sheet", "Typed"],
     'sheet "Typed": VALUE \'abc\' does not convert to the type "float" of "f": '
     "could not convert string to float: 'abc'"),
    (["i", "seven", "--sheet", "Typed"], "NameError: name 'seven' is not defined"),
    (["e", "[2]", "--sheet", "Typed", "--no-eval"],
     'Variable type "eval" is not supported by this program.'),
    (["n", "__import__('os').getpid()", "--sheet", "Ints", "--no-eval"],
     "only numbers, strings, parentheses and the operators"),
    (["missing", "1"], 'no parameter named "missing" in any sheet'),
    (["f", "1", "--sheet", "Nope"], 'no sheet named "Nope"'),
    (["a", "5", "--sheet", "Repeated"],
     'sheet "Repeated", row 4, column F (Name): name "a" repeats row 2'),
    (["a", "5", "--sheet", "Gap"],
     'sheet "Gap", row 4: saving would empty rows 3 to 5, down to row 5 named " a" like a '
     "loaded parameter, and this row holds cells"),
    (["a", "5", "--sheet", "Formula"],
     'sheet "Formula", row 2, column D (Up): formula =B2*2 would be replaced'),
    # with --output every sheet is written, so every sheet is guarded
    (["f", "2", "--sheet", "Typed", "--output", "{tmp}/out.xlsx"], 'sheet "Repeated", row 4'),
])
def test_set_errors_leave_the_workbook_unchanged(cli, books, awkward_book, tmp_path, argv,
                                                 message):
    before = books.digest(awkward_book)
    argv = [arg.replace("{tmp}", str(tmp_path)) for arg in argv]
    status, out, err = cli("set", awkward_book, *argv)
    assert (status, out) == (2, "")
    assert message in err
    assert len(err.splitlines()) == 1 and "Traceback" not in err
    assert books.digest(awkward_book) == before
    assert not os.path.exists(str(tmp_path / "out.xlsx"))


def test_set_force_saves_despite_repeated_names(cli, books, awkward_book):
    status, _, _ = cli("set", awkward_book, "b", "9", "--sheet", "Repeated", "--force")
    assert status == 0
    rows = [row for row in books.cells(awkward_book, "Repeated")[1:] if any(row)]
    assert [(row[5], row[1]) for row in rows] == [("a", 3.0), ("b", 9.0)]


def test_set_keeps_rows_below_the_table_that_saving_leaves_alone(cli, books, tmp_path):
    path = books.write(tmp_path / "gap.xlsx", {"S": [
        (None, 1.0, None, None, None, "a", "float"),
        ("a note that ends the table", None, None, None, None, None, None),
        (None, 2.0, None, None, None, "hidden", "float"),
    ]})
    before = books.cells(path, "S")
    assert cli("set", path, "a", "1.5")[0] == 0
    after = books.cells(path, "S")
    assert after[1][1] == 1.5
    assert after[2:] == before[2:]
