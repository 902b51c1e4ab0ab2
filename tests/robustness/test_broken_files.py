"""Damaged workbook files: loading and saving raise ordinary Python
exceptions, keep the book's loaded sheets as they were, and saving never
touches a file it could not open."""

import os

import pytest

import orv_testparameters as tp
import xlsxgen as g

PARAMS = g.parameter_rows(5)
OTHER = g.parameter_rows(2, "O")
SHEETS = [("Params", PARAMS), ("Other", OTHER)]


def _good():
    return g.build_xlsx(SHEETS)


def _stored_with_bad_crc():
    data = bytearray(g.build_xlsx(SHEETS, compression=g.zipfile.ZIP_STORED))
    # Change one letter of a parameter name inside the stored sheet part:
    # the XML stays well formed, only the checksum gives it away.
    pos = data.index(b"<t xml:space=\"preserve\">P3</t>") + len(b"<t xml:space=\"preserve\">")
    data[pos] = ord("Q")
    return bytes(data)


# Each maker returns the bytes of a damaged file, or None for "a directory".
BROKEN = {
    "not_a_zip": lambda: b"Description,Value,Low,Up,Unit,Name,Type\n" * 40,
    "empty_file": lambda: b"",
    "truncated_half": lambda: _good()[:len(_good()) // 2],
    "truncated_tail": lambda: _good()[:-10],
    "no_content_types": lambda: g.build_xlsx(SHEETS, replace={g.CONTENT_TYPES: None}),
    "no_workbook_part": lambda: g.build_xlsx(SHEETS, replace={g.WORKBOOK: None}),
    "no_sheet_part": lambda: g.build_xlsx(SHEETS, replace={g.sheet_part(1): None}),
    "malformed_sheet_xml": lambda: g.build_xlsx(
        SHEETS, replace={g.sheet_part(1): g.sheet_xml(PARAMS)[:-40]}),
    "sheet_not_xml": lambda: g.build_xlsx(
        SHEETS, replace={g.sheet_part(1): bytes(range(256)) * 4}),
    "malformed_shared_strings": lambda: g.build_xlsx(
        SHEETS, replace={g.SHARED_STRINGS: "<sst><si><t>x</si>"}),
    "bad_checksum": _stored_with_bad_crc,
    "directory": lambda: None,
}

# Damage that openpyxl's editable reader passes over: it skips a declared
# sheet whose part is missing, so saving may succeed there.
SAVE_MAY_SUCCEED = {"no_sheet_part"}


def place(path, kind):
    data = BROKEN[kind]()
    if data is None:
        os.mkdir(str(path))
    else:
        path.write_bytes(data)


def snapshot(folder):
    """Every entry of `folder` with its bytes (None for a directory, with the
    names it holds)."""
    state = {}
    for name in sorted(os.listdir(str(folder))):
        full = os.path.join(str(folder), name)
        if os.path.isdir(full):
            state[name] = ("dir", tuple(sorted(os.listdir(full))))
        else:
            with open(full, "rb") as fh:
                state[name] = ("file", fh.read())
    return state


def assert_plain_exception(excinfo):
    # SystemError is what the interpreter raises when an extension function
    # fails without setting an exception, or returns with one pending.
    assert not isinstance(excinfo.value, SystemError), repr(excinfo.value)


def test_damaged_files_differ_from_the_good_one():
    good = _good()
    for kind, make in BROKEN.items():
        assert make() != good, kind


@pytest.mark.parametrize("kind", sorted(BROKEN))
def test_load_sheet_raises(tmp_path, kind):
    path = tmp_path / "book.xlsx"
    place(path, kind)
    book = tp.BookParameters(str(path))
    with pytest.raises(Exception) as excinfo:
        book.load_sheet("Params")
    assert_plain_exception(excinfo)
    assert book.get_all_sheet_names() == []
    assert not book.has_parameter("P0")


@pytest.mark.parametrize("kind", sorted(BROKEN))
def test_failed_reload_keeps_loaded_sheets(tmp_path, kind):
    path = tmp_path / "book.xlsx"
    path.write_bytes(_good())
    book = tp.BookParameters(str(path))
    params = book.load_sheet("Params")
    path.unlink()
    place(path, kind)
    with pytest.raises(Exception) as excinfo:
        book.load_sheet("Params")
    assert_plain_exception(excinfo)
    # A reload has no rollback: rows read before the damage may have been
    # registered again, but the sheet stays loaded as the same object.
    assert book.get_all_sheet_names() == ["Params"]
    assert book.get_sheet_parameters("Params") is params
    assert params.parameter_names == ["P%d" % i for i in range(5)]


@pytest.mark.parametrize("kind", sorted(BROKEN))
def test_save_raises_and_leaves_file(tmp_path, kind):
    path = tmp_path / "book.xlsx"
    path.write_bytes(_good())
    book = tp.BookParameters(str(path))
    params = book.load_sheet("Params")
    book.set_value("P1", 42.0)
    path.unlink()
    place(path, kind)
    before = snapshot(tmp_path)
    try:
        book.save()
    except Exception as exc:
        assert not isinstance(exc, SystemError), repr(exc)
        assert snapshot(tmp_path) == before
    else:
        assert kind in SAVE_MAY_SUCCEED, "save() into a damaged file succeeded"
        # Nothing may be lost: the loaded sheet holds what memory held and
        # the untouched sheet is carried over.
        check = tp.BookParameters(str(path))
        assert check.load_sheet("Params").get_value("P1") == 42.0
        assert check.load_sheet("Other").parameter_names == ["O0", "O1"]
    assert book.get_all_sheet_names() == ["Params"]
    assert book.get_sheet_parameters("Params") is params
    assert book.get_value("P1") == 42.0


def test_save_after_file_removed_creates_nothing(tmp_path):
    path = tmp_path / "book.xlsx"
    path.write_bytes(_good())
    book = tp.BookParameters(str(path))
    book.load_sheet("Params")
    path.unlink()
    with pytest.raises(Exception) as excinfo:
        book.save()
    assert_plain_exception(excinfo)
    assert os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("kind", ["directory", "not_a_zip"])
def test_save_as_onto_broken_target_keeps_source(tmp_path, kind):
    # save_as writes a new file; the source is never touched, and a target
    # that is a directory is refused without being changed.
    src = tmp_path / "book.xlsx"
    src.write_bytes(_good())
    book = tp.BookParameters(str(src))
    book.load_sheet("Params")
    target = tmp_path / "out.xlsx"
    place(target, kind)
    before = snapshot(tmp_path)
    if kind == "directory":
        with pytest.raises(Exception) as excinfo:
            book.save_as(str(target))
        assert_plain_exception(excinfo)
        assert snapshot(tmp_path) == before
    else:
        book.save_as(str(target))
        assert tp.BookParameters(str(target)).load_sheet("Params").parameter_names == \
            ["P%d" % i for i in range(5)]
        assert snapshot(tmp_path)["book.xlsx"] == before["book.xlsx"]


def _damaged_row_book(tmp_path, names, damaged_row):
    """A sheet of `names` parameter rows, then an empty row, with a Value
    cell in `damaged_row` whose number the reader cannot read."""
    rows = [list(row) for row in g.parameter_rows(names)]
    rows += [[None] * 7 for _ in range(max(0, damaged_row - len(rows)))]
    rows[damaged_row - 1][1] = 987654321
    xml = g.sheet_xml(rows).replace("<v>987654321</v>", "<v>not a number</v>")
    path = tmp_path / "damaged.xlsx"
    path.write_bytes(g.build_xlsx([("Params", rows)], replace={g.sheet_part(1): xml}))
    return path


# (parameter rows, damaged row): the rows of a read-only sheet come in
# batches, so damage just after the end of the table, within the batch that
# holds the end, or far below, is never seen; damage inside the table stops
# the load there with the reader's error, the rows above it registered.
@pytest.mark.parametrize("names, damaged_row", [(1, 4), (2, 5), (5, 8), (6, 9), (40, 44), (70, 73), (70, 300)])
def test_damage_below_the_table_is_not_read(tmp_path, names, damaged_row):
    path = _damaged_row_book(tmp_path, names, damaged_row)
    book = tp.BookParameters(str(path))
    book.load_sheet("Params")
    assert book.get_sheet_parameters("Params").parameter_names == ["P%d" % i for i in range(names)]


@pytest.mark.parametrize("names, damaged_row", [(3, 2), (3, 4), (10, 9), (70, 66), (70, 71)])
def test_damage_inside_the_table_stops_the_load_there(tmp_path, names, damaged_row):
    from openpyxl import load_workbook
    path = _damaged_row_book(tmp_path, names, damaged_row)
    with pytest.raises(ValueError):
        load_workbook(str(path), read_only=True)["Params"].cell(row=damaged_row, column=2).value
    table = tp.SheetParameters()
    workbook = load_workbook(str(path), read_only=True, data_only=True)
    with pytest.raises(ValueError):
        table.load(workbook, "Params")
    workbook.close()
    assert table.parameter_names == ["P%d" % i for i in range(damaged_row - 2)]
