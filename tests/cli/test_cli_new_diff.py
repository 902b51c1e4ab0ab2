import pytest

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")


def test_new_creates_sheets_holding_the_header_row(cli, books, tmp_path):
    path = tmp_path / "new.xlsx"
    status, out, err = cli("new", path, "Supply", "Timing")
    assert (status, err) == (0, "")
    assert out.startswith('%s: created with sheets "Supply", "Timing"' % path)
    for sheet in ("Supply", "Timing"):
        assert books.cells(path, sheet) == [HEADER]
    # the new book loads, and set/show work on rows added to it later
    assert cli("show", path, "--json")[0] == 0


@pytest.mark.parametrize("sheets, message", [
    (["A", "a"], 'sheet title "a" is given twice'),
    (["A", "--book", "n.txt"], "must end in .xlsx"),
    (["A", "--book", "n.csv"], "must end in .xlsx"),
    (["x" * 32], "is longer than 31 characters"),
    (["a:b"], "contains one of the characters"),
    ([" "], "is empty"),
])
def test_new_refuses_bad_titles_and_writes_nothing(cli, tmp_path, sheets, message):
    path = tmp_path / "new.xlsx"
    if "--book" in sheets:
        path, sheets = tmp_path / sheets[-1], sheets[:1]
    status, out, err = cli("new", path, *sheets)
    assert (status, out) == (2, "")
    assert message in err
    assert list(tmp_path.iterdir()) == []


def test_new_keeps_an_existing_file_unless_forced(cli, books, supply_book):
    before = books.digest(supply_book)
    status, _, err = cli("new", supply_book, "A")
    assert status == 2 and "file exists (--force replaces it)" in err
    assert books.digest(supply_book) == before
    assert cli("new", supply_book, "A", "--force")[0] == 0
    assert cli("show", supply_book) == (0, 'sheet "A": 0 parameters\n', "")


def test_diff_lists_added_removed_changed_and_sheets_in_one_book(cli, books, tmp_path):
    old = books.write(tmp_path / "old.xlsx", {
        "Supply": [
            ("Core", 3.3, 3.0, 3.6, "V", "VDD", "float"),
            (None, 4.2, None, None, "V", "VBAT", "float"),
            (None, "5", None, None, None, "count", "str"),
            ("same", 1, 0, 2, None, "keep", "int"),
            (None, "a b", None, None, None, "spaced", "str"),
        ],
        "Old": [(None, 1, None, None, None, "x", "int")],
    })
    new = books.write(tmp_path / "new.xlsx", {
        "Supply": [
            ("Core", 3.4, 3.0, 3.7, "mV", "VDD", "float"),
            (None, 5, None, None, None, "count", "int"),
            ("same", 1, 0, 2, None, "keep", "int"),
            (None, 1.8, None, None, "V", "VDD_IO", "float"),
            (None, "a  b", None, None, None, "spaced", "str"),
        ],
        "New": [(None, "a", None, None, None, "y", "str")],
    })
    status, out, err = cli("diff", old, new)
    assert (status, err) == (1, "")
    assert out.splitlines() == [
        "--- %s" % old,
        "+++ %s" % new,
        'sheet "Supply": removed VBAT (value 4.2)',
        'sheet "Supply": added VDD_IO (value 1.8)',
        "sheet \"Supply\": changed VDD: value 3.3 -> 3.4, up 3.6 -> 3.7, unit 'V' -> 'mV'",
        "sheet \"Supply\": changed count: value '5' -> 5, type 'str' -> 'int'",
        "sheet \"Supply\": changed spaced: value 'a b' -> 'a  b'",
        'sheet "Old": only in %s' % old,
        'sheet "Old": removed x (value 1)',
        'sheet "New": only in %s' % new,
        "sheet \"New\": added y (value 'a')",
    ]
    # naming sheets narrows the comparison
    assert cli("diff", old, new, "New") == (
        1, "--- %s\n+++ %s\nsheet \"New\": only in %s\nsheet \"New\": added y (value 'a')\n"
        % (old, new, new), "")


def test_diff_of_equal_books_exits_0(cli, books, supply_book, tmp_path):
    copy = tmp_path / "copy.xlsx"
    copy.write_bytes(supply_book.read_bytes())
    assert cli("diff", supply_book, copy) == (0, "no differences\n", "")


def test_diff_unknown_sheet_exits_2(cli, supply_book):
    status, out, err = cli("diff", supply_book, supply_book, "Nope")
    assert (status, out) == (2, "")
    assert 'no sheet named "Nope"' in err
