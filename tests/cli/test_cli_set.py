import os

import pytest


@pytest.mark.parametrize("name, text, stored", [
    ("channel", "0x3", 3),            # "int" converts as loading does
    ("channel", " 4 ", 4),
    ("sense", "No", False),
    ("resource", "  GPIB0::7  ", "GPIB0::7"),
    ("prefix", "AB", "AB"),
    ("loops", "12", "12"),            # "auto" keeps the text as given
    ("resource", "", None),           # an empty VALUE empties the cell
])
def test_set_converts_by_type_and_changes_only_that_cell(cli, books, supply_book, name, text,
                                                         stored):
    before = {sheet: books.cells(supply_book, sheet) for sheet in ("Supply", "Station")}
    status, out, err = cli("set", supply_book, name, text)
    assert (status, err) == (0, "")
    rows = books.cells(supply_book, "Supply")
    rownum = [row[5] for row in rows].index(name)
    assert out.startswith("%s:Supply!B%d: %s = " % (supply_book, rownum + 1, name))
    assert rows[rownum][1] == stored
    rows[rownum] = before["Supply"][rownum]
    assert rows == before["Supply"]
    assert books.cells(supply_book, "Station") == before["Station"]


def test_a_name_several_sheets_hold_needs_the_sheet(cli, books, supply_book):
    status, out, err = cli("set", supply_book, "VDD", "4.8")
    assert (status, out) == (2, "")
    assert '"VDD" is held by the sheets "Supply", "Station"; choose one with --sheet' in err
    assert cli("set", supply_book, "VDD", "4.8", "--sheet", "Station")[0] == 0
    assert cli("get", supply_book, "VDD") == (0, "4.8\n", "")
    assert cli("get", supply_book, "VDD", "--sheet", "Supply") == (0, "3.3\n", "")


def test_a_value_outside_its_limits_is_saved_with_a_warning(cli, supply_book):
    status, out, err = cli("set", supply_book, "VDD", "3.9", "--sheet", "Supply")
    assert status == 0
    assert err == ("testparams: warning: %s:Supply!B2: VDD: 3.9 is above its upper limit 3.6\n"
                   % supply_book)
    assert cli("get", supply_book, "VDD", "--sheet", "Supply")[1] == "3.9\n"


def test_set_output_copies_the_whole_workbook_and_leaves_book_alone(cli, books, supply_book,
                                                                     tmp_path):
    before = books.digest(supply_book)
    out_path = tmp_path / "copy.xlsx"
    status, out, _ = cli("set", supply_book, "station", "FCT-09", "--output", out_path)
    assert status == 0
    assert out.rstrip().endswith("written to %s" % out_path)
    assert books.digest(supply_book) == before
    assert books.cells(out_path, "Supply") == books.cells(supply_book, "Supply")
    assert cli("diff", supply_book, out_path) == (
        1, "--- %s\n+++ %s\nsheet \"Station\": changed station: value 'FCT-02' -> 'FCT-09'\n"
        % (supply_book, out_path), "")
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []
    assert os.stat(str(out_path)).st_mode & 0o777 == 0o666 & ~current_umask()


def current_umask():
    umask = os.umask(0)
    os.umask(umask)
    return umask


def test_texts_starting_with_equals_are_no_formulas(cli, books, tmp_path):
    path = books.write(tmp_path / "eq.xlsx", {"S": [(None, "a", None, None, None, "t", "str"),
                                                   (None, "b", None, None, None, "u", "str")]})
    assert cli("set", path, "t", "=1+1")[0] == 0
    assert cli("set", path, "u", "=2")[0] == 0
    assert cli("get", path, "t") == (0, "=1+1\n", "")


@pytest.fixture
def awkward_book(books, tmp_path):
    return books.write(tmp_path / "awkward.xlsx", {
        "Repeated": [
            (None, 1.0, None, None, None, "a", "float"),
            (None, 2.0, None, None, None, "b", "float"),
            (None, 3.0, None, None, None, "a", "float"),
        ],
        "Formula": [(None, "=1+2", None, None, None, "f", "float")],
        "Typed": [
            (None, 1.0, None, None, None, "f", "float"),
            (None, 1, None, None, None, "i", "int"),
            (None, True, None, None, None, "b", "bool"),
        ],
        "Eval": [(None, "[1]", None, None, None, "e", "eval")],
    })


@pytest.mark.parametrize("argv, message", [
    (["f", "abc", "--sheet", "Typed"],
     "awkward.xlsx:Typed!B2: f: VALUE 'abc' does not convert to the type \"float\": "
     "could not convert string to float: 'abc'"),
    (["i", "__import__('os').getpid()", "--sheet", "Typed"],
     "only numbers, strings, parentheses and the operators"),
    (["i", "4.5", "--sheet", "Typed"], "Typed!B3: i: VALUE '4.5' would read as 4"),
    (["b", "ON", "--sheet", "Typed"], "Typed!B4: b: VALUE 'ON' would read as False"),
    (["e", "[2]", "--sheet", "Eval"], 'Variable type "eval" is not supported'),
    (["missing", "1", "--sheet", "Repeated"], 'no parameter named "missing"'),
    (["f", "1", "--sheet", "Nope"], 'no sheet named "Nope"'),
    (["a", "5", "--sheet", "Repeated"], "Repeated!F4: a: name repeats row 2"),
    (["f", "5", "--sheet", "Formula"], "Formula!B2: f: the Value cell holds the formula =1+2"),
    (["f", "2", "--sheet", "Typed", "--output", "{book}"], "--output names BOOK itself"),
    (["f", "2", "--sheet", "Typed", "--output", "{tmp}/out.txt"], "must end in .xlsx, as BOOK does"),
    (["f", "2", "--sheet", "Typed", "--output", "{tmp}/out.xlsm"], "must end in .xlsx"),
])
def test_set_refusals_leave_the_workbook_unchanged(cli, books, awkward_book, tmp_path, argv,
                                                   message):
    before = books.digest(awkward_book)
    argv = [a.replace("{tmp}", str(tmp_path)).replace("{book}", str(awkward_book)) for a in argv]
    status, out, err = cli("set", awkward_book, *argv)
    assert (status, out) == (2, "")
    assert message in err
    assert len(err.splitlines()) == 1 and "Traceback" not in err
    assert books.digest(awkward_book) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["awkward.xlsx"]


def test_set_force_saves_despite_repeated_names(cli, books, awkward_book):
    status, _, _ = cli("set", awkward_book, "b", "9", "--sheet", "Repeated", "--force")
    assert status == 0
    rows = [row for row in books.cells(awkward_book, "Repeated")[1:] if any(row)]
    assert [(row[5], row[1]) for row in rows] == [("a", 3.0), ("b", 9.0)]


def test_write_errors_name_the_target_not_the_temporary_file(cli, supply_book, tmp_path):
    target = tmp_path / "missing" / "out.xlsx"
    status, out, err = cli("set", supply_book, "loops", "3", "--output", target)
    assert (status, out) == (2, "")
    assert err.startswith("testparams: error: %s: cannot write" % target)
    assert ".testparams-" not in err


@pytest.mark.parametrize("add, what", [
    (lambda book, sheet: sheet.add_sparkline("H2", {"range": "S!B2:D2"}), "S: 1 sparkline group"),
    (lambda book, sheet: book.define_name("S!_xlnm.Print_Area", "=#REF!"), "workbook: 1 defined name"),
])
def test_what_a_save_would_drop_is_found_by_check_and_refused_by_set(cli, books, tmp_path, add, what):
    import xlsxwriter
    path = tmp_path / "spark.xlsx"
    book = xlsxwriter.Workbook(str(path))
    sheet = book.add_worksheet("S")
    sheet.write_row(0, 0, ("Description", "Value", "Low", "Up", "Unit", "Name", "Type"))
    sheet.write_row(1, 0, (None, 1.5, 1, 2, None, "a", "float"))
    add(book, sheet)
    book.close()
    dropped = "%s: this save drops what openpyxl cannot keep: %s" % (path, what)
    owner, item = what.split(": ")
    assert cli("check", path) == (
        1, "%s%s: a save drops what openpyxl cannot keep: %s\n"
           "%s: 1 problem found\n" % (path, "" if owner == "workbook" else ":" + owner, item, path), "")
    before = books.digest(path)
    assert cli("set", path, "a", "1.7") == (
        2, "", "testparams: error: %s (--force saves anyway)\n" % dropped)
    assert books.digest(path) == before
    status, out, err = cli("set", path, "a", "1.7", "--force")
    assert (status, err) == (0, "testparams: warning: %s\n" % dropped)
    assert cli("get", path, "a") == (0, "1.7\n", "")
