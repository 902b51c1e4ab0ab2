"""load_sheet closes what it opened on every path, on every supported
openpyxl, without waiting for the garbage collector; a failure to close after
a good load does not undo the load."""

import gc
import os
import sys

import openpyxl
import pytest

import orv_testparameters as tp
import xlsxgen as g

FD_DIR = "/proc/self/fd"


def rows_with(bad_row):
    rows = g.parameter_rows(30)
    rows.insert(3, bad_row)
    return rows


@pytest.fixture
def book_path(tmp_path):
    def make(rows):
        path = tmp_path / "book.xlsx"
        path.write_bytes(g.build_xlsx([("Params", rows)]))
        return str(path)
    return make


@pytest.mark.skipif(not os.path.isdir(FD_DIR), reason="needs /proc/self/fd")
@pytest.mark.parametrize("bad_row, error", [
    (("d", "1 +", None, None, "V", "Bad", "int"), SyntaxError),
    (("d", "x", None, None, "V", "Bad", "float"), ValueError),
    # An empty row ends the table early: the rows are not read to their end.
    ((None,) * 7, None),
], ids=["syntax_error", "value_error", "early_end"])
def test_loads_leave_no_descriptor_open(book_path, bad_row, error):
    path = book_path(rows_with(bad_row))
    gc.collect()
    gc.disable()
    try:
        before = len(os.listdir(FD_DIR))
        for _ in range(40):
            book = tp.BookParameters(path, support_eval=False)
            if error:
                with pytest.raises(error):
                    book.load_sheet("Params")
            else:
                assert len(book.load_sheet("Params").parameter_names) == 2
        assert len(os.listdir(FD_DIR)) == before
    finally:
        gc.enable()


def failing_close(exc):
    def close(self):
        raise exc
    return close


def test_close_failure_after_a_good_load_keeps_the_load(book_path, monkeypatch):
    path = book_path(g.parameter_rows(3))
    seen = []
    if hasattr(sys, "unraisablehook"):
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    monkeypatch.setattr(openpyxl.Workbook, "close", failing_close(OSError("disk gone")))
    book = tp.BookParameters(path)
    table = book.load_sheet("Params")
    assert book.get_all_sheet_names() == ["Params"] and table.parameter_names == ["P0", "P1", "P2"]
    if hasattr(sys, "unraisablehook"):
        assert seen == [OSError]


def test_interrupt_while_closing_reaches_the_caller(book_path, monkeypatch):
    path = book_path(g.parameter_rows(3))
    monkeypatch.setattr(openpyxl.Workbook, "close", failing_close(KeyboardInterrupt()))
    book = tp.BookParameters(path)
    with pytest.raises(KeyboardInterrupt):
        book.load_sheet("Params")
    assert book.get_all_sheet_names() == []
