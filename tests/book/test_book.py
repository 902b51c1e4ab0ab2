import os

import pytest

import orv_testparameters as tp
from orv_testparameters import BookParameters, SheetParameters


def row(name, value, low=None, up=None, _type="float", unit="V", desc=None):
    return (desc or "about " + name, value, low, up, unit, name, _type)


@pytest.fixture
def book_path(make_book):
    return make_book({
        "A": [row("P", 1), row("OnlyA", 10, -1, 2)],
        "B": [row("P", 2), row("Rel", 10, -0.5, 0.5), row("NoLow", 3, None, 4)],
        "C": [row("P", 3), row("Text", "x", _type="str")],
    })


def names(book):
    return book.get_all_sheet_names()


def test_construction_touches_nothing(tmp_path):
    book = BookParameters(str(tmp_path / "missing.xlsx"))
    assert list(vars(book)) == ["_BookParameters__all_sheet_parameters", "_BookParameters__support_eval", "bookname"]
    assert names(book) == [] and book.has_parameter("x") is False
    with pytest.raises(FileNotFoundError):
        book.load_sheet("A")
    assert names(book) == []


def test_support_flag_stored_unchanged_and_passed_on(book_path):
    book = BookParameters(book_path, 0)
    assert book._BookParameters__support_eval == 0 and type(book._BookParameters__support_eval) is int
    sheet = book.load_sheet("A")
    assert sheet._SheetParameters__support_eval == 0 and type(sheet._SheetParameters__support_eval) is int


def test_load_unload_reload_order(book_path):
    book = BookParameters(book_path)
    a, b, c = (book.load_sheet(s) for s in "ABC")
    assert names(book) == ["A", "B", "C"] and book.has_sheet("B")
    assert book.load_sheet("A") is a and names(book) == ["A", "B", "C"]
    assert book.unload_sheet("B") is None and names(book) == ["A", "C"]
    assert book.unload_sheet("nope") is None and names(book) == ["A", "C"]
    b2 = book.load_sheet("B")
    assert b2 is not b and names(book) == ["A", "C", "B"]
    assert book.get_sheet_parameters("C") is c
    assert book.get_all_sheet_names() is not book.get_all_sheet_names()


@pytest.mark.parametrize("flag", [False, 0, None, ""])
def test_get_sheet_parameters_missing(book_path, flag):
    book = BookParameters(book_path)
    assert book.get_sheet_parameters("A", flag) is None
    with pytest.raises(ValueError, match=r'^Sheet "A" not loaded\.$'):
        book.get_sheet_parameters("A")


def test_search_order_follows_the_load_order(book_path):
    book = BookParameters(book_path)
    a = book.load_sheet("A")
    b = book.load_sheet("B")
    assert book.get_parameter("P") is b.P and book.get_value("P") == 2.0
    assert book.get_parameter_from_sheet("P", "A") is a.P
    book.set_value("P", 99)
    assert b.P.value == 99 and a.P.value == 1.0
    book.load_sheet("A")  # a reload keeps its place
    assert book.get_parameter("P") is b.P
    book.unload_sheet("A")
    book.load_sheet("A")  # unload + load moves it to the end
    assert book.get_value("P") == 1.0
    assert book.has_parameter("OnlyA") and book.has_parameter("Rel") and not book.has_parameter("zz")


def test_reload_replaces_values_from_the_file(book_path):
    book = BookParameters(book_path)
    a = book.load_sheet("A")
    book.set_value("OnlyA", 5)
    assert book.load_sheet("A") is a and a.OnlyA.value == 10.0


def test_missing_names_and_defaults(book_path):
    book = BookParameters(book_path)
    with pytest.raises(ValueError, match=r'^No parameter named "P"\.$'):
        book.get_parameter("P")
    assert book.get_parameter("P", False) is None
    assert book.get_value("P", 5) == 5 and book.get("P", 0) == 0
    with pytest.raises(ValueError, match='No parameter named "P"'):
        book.get_value("P", None)
    book.load_sheet("A")
    book.set("OnlyA", None)
    assert book.get_value("OnlyA", 7) is None
    with pytest.raises(ValueError, match='No parameter named "zz"'):
        book.set_value("zz", 1)
    book.set_value("OnlyA", "text")
    assert book.get("OnlyA") == "text"


def test_get_parameter_from_sheet(book_path):
    book = BookParameters(book_path)
    book.load_sheet("A")
    assert book.get_parameter_from_sheet("zz", "A", False) is None
    assert book.get_parameter_from_sheet("P", "B", False) is None
    with pytest.raises(ValueError, match=r"^Unknown parameter name\.$"):
        book.get_parameter_from_sheet("zz", "A")
    with pytest.raises(ValueError, match=r'^Sheet "B" not loaded\.$'):
        book.get_parameter_from_sheet("P", "B")


@pytest.mark.parametrize("mode, low, up", [
    (0, -1.0, 2.0), (1, 9.0, 12.0), (True, 9.0, 12.0), (1.0, 9.0, 12.0), (2, -1.0, 2.0), (None, -1.0, 2.0), (-1, -1.0, 2.0)])
def test_limits(book_path, mode, low, up):
    book = BookParameters(book_path)
    book.load_sheet("A")
    assert book.get_low("OnlyA", mode=mode) == low and book.get_up("OnlyA", None, mode) == up


def test_limits_defaults_and_missing_limits(book_path):
    book = BookParameters(book_path)
    book.load_sheet("B")
    R = BookParameters.LIMIT_MODE_RELATIVE
    assert (book.get_low("Rel", mode=R), book.get_up("Rel", mode=R)) == (9.5, 10.5)
    assert book.get_low("Rel") == book.get_low("Rel", None, BookParameters.LIMIT_MODE_ABSOLUTE) == -0.5
    assert book.get_low("NoLow", 5) is None
    with pytest.raises(TypeError):
        book.get_low("NoLow", 5, R)
    for mode in (0, 1):
        assert book.get_low("zz", 0, mode) == 0 and book.get_up("zz", 0, mode) == 0
        with pytest.raises(ValueError, match='No parameter named "zz"'):
            book.get_up("zz", mode=mode)


def test_relative_mode_constant_is_looked_up_at_call_time(book_path, monkeypatch):
    book = BookParameters(book_path)
    book.load_sheet("A")
    monkeypatch.setattr(BookParameters, "LIMIT_MODE_RELATIVE", 7)
    assert book.get_low("OnlyA", mode=1) == -1.0 and book.get_low("OnlyA", mode=7) == 9.0


def test_sheet_rename(book_path):
    book = BookParameters(book_path)
    a = book.load_sheet("A")
    book.load_sheet("B")
    book.sheet_rename("A", "Z")
    assert names(book) == ["Z", "B"] and not book.has_sheet("A") and a.sheet_name() == "Z"
    a2 = book.load_sheet("A")
    assert a2 is not a and names(book) == ["Z", "B", "A"]
    with pytest.raises(ValueError, match=r'^Sheet "Z" \*NOT\* FOUND\.$'):
        book.load_sheet("Z")
    assert names(book) == ["Z", "B", "A"]


@pytest.mark.parametrize("old, new, error, message", [
    (1, "x", TypeError, "Argument 'old' has incorrect type (expected str, got int)"),
    ("A", 2, TypeError, "Argument 'new' has incorrect type (expected str, got int)"),
    (b"A", None, TypeError, "Argument 'old' has incorrect type (expected str, got bytes)"),
    ("nope", "B", ValueError, 'No sheet named "nope".'),
    (None, "x", ValueError, 'No sheet named "None".'),
    ("A", "A", ValueError, 'Name "A" already exists.'),
    ("A", "B", ValueError, 'Name "B" already exists.'),
    ("A", "", AssertionError, ""),
    ("A", None, AssertionError, ""),
])
def test_sheet_rename_errors(book_path, old, new, error, message):
    book = BookParameters(book_path)
    book.load_sheet("A")
    book.load_sheet("B")
    with pytest.raises(error) as info:
        book.sheet_rename(old, new)
    assert str(info.value) == message
    assert names(book) == ["A", "B"]


def test_sheet_rename_refuses_str_subclasses(book_path):
    class Text(str):
        pass

    book = BookParameters(book_path)
    with pytest.raises(TypeError, match=r"^Argument 'old' has incorrect type \(expected str, got Text\)$"):
        book.sheet_rename(Text("A"), "B")


@pytest.mark.parametrize("sheet, error", [(None, "sheetname must be a valid string"),
                                          ("Nope", 'Sheet "Nope" *NOT* FOUND.'),
                                          ("a", 'Sheet "a" *NOT* FOUND.')])
def test_failed_first_load_leaves_the_list_unchanged(book_path, sheet, error):
    book = BookParameters(book_path)
    book.load_sheet("A")
    with pytest.raises(ValueError) as info:
        book.load_sheet(sheet)
    assert str(info.value) == error and names(book) == ["A"]


def test_not_a_workbook(tmp_path):
    path = tmp_path / "x.xlsx"
    path.write_bytes(b"not a zip at all")
    book = BookParameters(str(path))
    with pytest.raises(Exception):
        book.load_sheet("A")
    assert names(book) == []


def test_rebound_load_workbook_is_used(book_path, monkeypatch):
    calls = []
    real = tp.load_workbook

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(tp, "load_workbook", fake)
    book = BookParameters(book_path)
    book.load_sheet("A")
    assert calls == [((book_path,), {"read_only": True, "data_only": True})]


def test_rebound_sheet_class_and_new_bookname(book_path, make_book, monkeypatch):
    class Mine(SheetParameters):
        pass

    monkeypatch.setattr(tp, "SheetParameters", Mine)
    book = BookParameters(book_path)
    assert type(book.load_sheet("A")) is Mine
    book.bookname = make_book({"D": [row("Q", 4)]}, name="other.xlsx")
    book.load_sheet("D")
    assert names(book) == ["A", "D"] and book.get_value("Q") == 4.0


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_load_sheet_leaves_no_file_open(book_path):
    book = BookParameters(book_path)
    book.load_sheet("A")
    before = open_descriptors()
    for _ in range(30):
        book.load_sheet("A")
        book.load_sheet("B")
        with pytest.raises(ValueError):
            book.load_sheet("Nope")
    assert open_descriptors() <= before


def test_other_workbook_objects_are_not_closed(book_path, monkeypatch):
    real = tp.load_workbook
    opened = []

    class Wrapper:
        def __init__(self, wb):
            self.wb = wb
            self.sheetnames = wb.sheetnames

        def __getitem__(self, key):
            return self.wb[key]

        def close(self):
            raise AssertionError("closed a workbook that is not the library's")

    def fake(*args, **kwargs):
        opened.append(Wrapper(real(*args, **kwargs)))
        return opened[-1]

    monkeypatch.setattr(tp, "load_workbook", fake)
    book = BookParameters(book_path)
    assert book.load_sheet("A").get_value("P") == 1.0
    opened[0].wb.close()


@pytest.mark.parametrize("name", [(1, 2), ("a",)])
def test_messages_show_a_tuple_name_whole(book_path, name):
    book = BookParameters(book_path)
    with pytest.raises(ValueError) as info:
        book.get_parameter(name)
    assert str(info.value) == 'No parameter named "%s".' % (name,)
