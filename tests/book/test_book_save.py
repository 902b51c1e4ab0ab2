import datetime
import gc
import io
import os
import pathlib
import shutil
import stat
import sys
import tempfile
import traceback

import openpyxl
import pytest

import orv_testparameters as tp
from orv_testparameters import BookParameters, Parameter

pytestmark = pytest.mark.filterwarnings("error::DeprecationWarning")

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")


def row(name, value, _type="float", desc=None):
    return (desc or "about " + name, value, None, None, "V", name, _type)


@pytest.fixture
def path(make_book):
    return make_book({
        "A": [row("P", 1.0), row("Q", 2.0)],
        "B": [row("R", 3.0), ("formula", "=1+2", None, None, None, "F", "auto")],
    })


def sheet_cells(filename, title, max_col=7):
    wb = openpyxl.load_workbook(filename)
    ws = wb[title]
    return [tuple(r) for r in ws.iter_rows(min_row=1, max_row=ws.max_row, max_col=max_col, values_only=True)]


def titles(filename):
    return openpyxl.load_workbook(filename).sheetnames


def listing(folder):
    """Every file below `folder` with its bytes and permission bits."""
    out = {}
    for root, dirs, files in os.walk(str(folder)):
        for f in dirs + files:
            p = os.path.join(root, f)
            st = os.lstat(p)
            content = None
            if stat.S_ISREG(st.st_mode):
                with open(p, "rb") as fh:
                    content = fh.read()
            elif stat.S_ISLNK(st.st_mode):
                content = os.readlink(p)
            out[os.path.relpath(p, str(folder))] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode), content)
    return out


def memory(book):
    """What the book and its loaded tables hold, as plain data."""
    state = {"bookname": book.bookname, "attrs": sorted(vars(book))}
    for t in book._BookParameters__all_sheet_parameters:
        state[t.sheet_name()] = [(n, dict(vars(t.get_parameter(n)))) for n in t.parameter_names]
    return state


def test_save_keeps_other_sheets_and_cells(path):
    wb = openpyxl.load_workbook(path)
    wb["A"].cell(row=2, column=9).value = "beside"
    wb.save(path)
    b_before = sheet_cells(path, "B")
    book = BookParameters(path)
    book.load_sheet("A")
    book.set_value("Q", 20.5)
    assert book.save() is None
    assert titles(path) == ["A", "B"]
    assert sheet_cells(path, "B") == b_before and b_before[2][1] == "=1+2"
    assert sheet_cells(path, "A", 9) == [HEADER + (None, None), row("P", 1.0) + (None, "beside"),
                                         row("Q", 20.5) + (None, None)]


def test_save_with_nothing_loaded_rewrites_the_same_sheets(path):
    before = {t: sheet_cells(path, t) for t in ("A", "B")}
    BookParameters(path).save()
    assert {t: sheet_cells(path, t) for t in ("A", "B")} == before


def test_save_as_holds_only_the_loaded_sheets_in_load_order(path, tmp_path):
    source = listing(tmp_path)
    book = BookParameters(path)
    book.load_sheet("B")
    book.load_sheet("A")
    book.set_value("P", -1.0)
    target = str(tmp_path / "new.xlsx")
    assert book.save_as(book_name=target) is None
    assert book.bookname == path
    assert titles(target) == ["B", "A"]
    assert sheet_cells(target, "A") == [HEADER, row("P", -1.0), row("Q", 2.0)]
    assert listing(tmp_path)["book.xlsx"] == source["book.xlsx"]
    # save still writes the source file, not the new one
    book.set_value("P", -2.0)
    book.save()
    assert sheet_cells(path, "A")[1] == row("P", -2.0)
    assert sheet_cells(target, "A")[1] == row("P", -1.0)


def test_save_as_with_nothing_loaded_writes_the_default_sheet(tmp_path):
    target = tmp_path / "empty.xlsx"
    BookParameters(str(tmp_path / "missing.xlsx")).save_as(str(target))
    wb = openpyxl.load_workbook(str(target))
    assert len(wb.sheetnames) == 1 and wb.active.max_row == 1 and wb.active["A1"].value is None


def test_save_as_onto_its_own_file(path):
    book = BookParameters(path)
    book.load_sheet("A")
    book.save_as(path)
    assert titles(path) == ["A"]
    assert sheet_cells(path, "A") == [HEADER, row("P", 1.0), row("Q", 2.0)]


def test_renamed_sheet_is_written_to_a_new_sheet_at_the_end(path):
    a_before = sheet_cells(path, "A")
    book = BookParameters(path)
    book.load_sheet("A")
    book.sheet_rename("A", "Z")
    book.set_value("P", 7.0)
    book.save()
    assert titles(path) == ["A", "B", "Z"]
    assert sheet_cells(path, "A") == a_before
    assert sheet_cells(path, "Z") == [HEADER, row("P", 7.0), row("Q", 2.0)]


@pytest.mark.parametrize("_type, value", [
    ("auto", 5), ("auto", -2.25), ("auto", "  blanks kept  "), ("auto", True),
    ("auto", datetime.datetime(2024, 2, 29, 23, 59, 58)), ("auto", datetime.time(12, 30)),
    ("str", "text"), ("unicode", "Grüße ✓"), ("string", "=not a formula"), (None, "#N/A"),
    ("bytes", b"raw"), ("bytes", "é".encode("utf-8")),
    ("int", 0), ("int", -123456789012), ("float", 1e-300), ("float", -0.5), ("float", 3.0),
    ("bool", True), ("bool", False), ("boolean", True),
    ("eval", [1, 2]), ("eval", {"k": (1, [2.5, "s"])}), ("eval", 42), ("eval", -1.5), ("eval", ("a", None)),
    ("int", None), ("eval", None), ("str", None),
])
@pytest.mark.parametrize("how", ["save", "save_as"])
def test_round_trip_of_every_type(make_book, tmp_path, _type, value, how):
    filename = make_book({"S": [("d", None, None, None, "u", "X", _type), row("Y", 1.5)]})
    book = BookParameters(filename)
    book.load_sheet("S")
    book.set_value("X", value)
    if how == "save":
        target = filename
        book.save()
    else:
        target = str(tmp_path / "copy.xlsx")
        book.save_as(target)
    again = BookParameters(target)
    again.load_sheet("S")
    got = again.get_value("X")
    assert got == value and type(got) is type(value)
    assert again.get_value("Y") == 1.5


def test_reload_after_save_returns_what_was_saved(make_book):
    filename = make_book({"S": [row("A", 1.0), row("B", 2.0), row("A", 3.0, desc="dup"), (None,) * 7,
                                row("C", 4.0)]})
    book = BookParameters(filename)
    book.load_sheet("S")
    book.set_value("A", 10.0)
    book.save()
    again = BookParameters(filename)
    sheet = again.load_sheet("S")
    assert sheet.parameter_names == ["A", "B"] and again.get_value("A") == 10.0
    assert sheet_cells(filename, "S")[3:] == [(None,) * 7, (None,) * 7, row("C", 4.0)]


# --- failures: the file on disk, the folder and the objects in memory stay as they were

BAD_VALUES = {
    "list in a non-eval row": ([1, 2], ValueError),
    "timezone-aware datetime": (datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc), TypeError),
    "control character": ("a\x01b", openpyxl.utils.exceptions.IllegalCharacterError),
}


@pytest.mark.parametrize("bad", sorted(BAD_VALUES))
@pytest.mark.parametrize("how", ["save", "save_as existing", "save_as new"])
def test_refused_value_changes_nothing(path, tmp_path, bad, how):
    value, error = BAD_VALUES[bad]
    other = tmp_path / "other.xlsx"
    shutil.copy(path, str(other))
    book = BookParameters(path)
    book.load_sheet("A")
    book.set_value("Q", value)
    before, state = listing(tmp_path), memory(book)
    fds = len(os.listdir("/proc/self/fd"))
    with pytest.raises(error):
        if how == "save":
            book.save()
        else:
            book.save_as(str(other if how == "save_as existing" else tmp_path / "new.xlsx"))
    gc.collect()
    assert listing(tmp_path) == before
    assert memory(book) == state and book.get_value("Q") is value
    assert len(os.listdir("/proc/self/fd")) <= fds


def test_timezone_aware_datetime_is_refused_before_anything_is_written(path, tmp_path, monkeypatch):
    # The library would refuse this value only half-way through writing the
    # file; the save refuses it first, naming the cell.
    created = []
    real_open = os.open

    def spy(p, flags, *args, **kwargs):
        if flags & os.O_CREAT:
            created.append(p)
        return real_open(p, flags, *args, **kwargs)

    monkeypatch.setattr(os, "open", spy)
    book = BookParameters(path)
    book.load_sheet("A")
    book.set_value("P", datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc))
    with pytest.raises(TypeError, match=r"^A!B2 \(parameter P\): .*timezone"):
        book.save()
    assert [p for p in created if os.path.dirname(p) == str(tmp_path)] == []


def test_save_after_the_file_was_deleted(path, tmp_path):
    book = BookParameters(path)
    book.load_sheet("A")
    os.unlink(path)
    state = memory(book)
    with pytest.raises(FileNotFoundError):
        book.save()
    assert listing(tmp_path) == {} and memory(book) == state


@pytest.mark.parametrize("damage", ["garbage", "directory", "empty"])
def test_unreadable_file(path, tmp_path, damage):
    book = BookParameters(path)
    book.load_sheet("A")
    os.unlink(path)
    if damage == "directory":
        os.mkdir(path)
    else:
        with open(path, "wb") as fh:
            fh.write(b"not a workbook" if damage == "garbage" else b"")
    before, state = listing(tmp_path), memory(book)
    with pytest.raises(Exception) as excinfo:
        book.save()
    assert not isinstance(excinfo.value, SystemError)
    assert listing(tmp_path) == before and memory(book) == state


@pytest.mark.parametrize("where, error", [
    ("no_such_folder/out.xlsx", FileNotFoundError),
    ("a_file/out.xlsx", NotADirectoryError),
    ("a_folder", IsADirectoryError),
])
def test_target_that_cannot_be_written(path, tmp_path, where, error):
    (tmp_path / "a_file").write_bytes(b"x")
    (tmp_path / "a_folder").mkdir()
    book = BookParameters(path)
    book.load_sheet("A")
    before, state = listing(tmp_path), memory(book)
    with pytest.raises(error):
        book.save_as(str(tmp_path / where))
    assert listing(tmp_path) == before and memory(book) == state


def unprivileged(fn):
    """Runs `fn` as a user that file permissions apply to: in a child process
    as nobody when the tests run as root, else here."""
    if os.geteuid() != 0:
        return fn()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setgid(65534)
            os.setuid(65534)
            fn()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    assert os.waitpid(pid, 0)[1] == 0, "the unprivileged part failed (see its output)"


@pytest.fixture
def open_folder():
    # Outside pytest's tmp_path, whose parents only root may enter.
    folder = tempfile.mkdtemp(prefix="tp-save-")
    yield pathlib.Path(folder)
    for root, dirs, files in os.walk(folder):
        os.chmod(root, 0o755)
    shutil.rmtree(folder)


@pytest.mark.parametrize("case", ["read-only folder", "write-protected file", "unreadable file"])
def test_permissions_are_respected(open_folder, case):
    filename = str(open_folder / "book.xlsx")
    wb = openpyxl.Workbook()
    wb.active.title = "A"
    wb.active.append(HEADER)
    wb.active.append(row("P", 1.0))
    wb.save(filename)
    os.chmod(filename, {"write-protected file": 0o444, "unreadable file": 0o200}.get(case, 0o666))
    os.chmod(str(open_folder), 0o555 if case == "read-only folder" else 0o777)
    before = listing(open_folder)

    def attempt():
        book = BookParameters(filename)
        if case != "unreadable file":
            book.load_sheet("A")
            book.set_value("P", 5.0)
        state = memory(book)
        with pytest.raises(PermissionError):
            book.save()
        if case == "read-only folder":
            with pytest.raises(PermissionError):
                book.save_as(str(open_folder / "new.xlsx"))
        assert memory(book) == state

    unprivileged(attempt)
    assert listing(open_folder) == before


# --- how the file is replaced

@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755])
def test_existing_file_keeps_its_permission_bits(path, tmp_path, mode):
    os.chmod(path, mode)
    book = BookParameters(path)
    book.load_sheet("A")
    book.set_value("P", 9.0)
    book.save()
    assert stat.S_IMODE(os.stat(path).st_mode) == mode
    assert sorted(os.listdir(str(tmp_path))) == ["book.xlsx"]
    assert sheet_cells(path, "A")[1] == row("P", 9.0)


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_new_file_follows_the_umask(path, tmp_path, umask):
    book = BookParameters(path)
    book.load_sheet("A")
    old = os.umask(umask)
    try:
        book.save_as(str(tmp_path / "new.xlsx"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(str(tmp_path / "new.xlsx")).st_mode) == 0o666 & ~umask
    assert sorted(os.listdir(str(tmp_path))) == ["book.xlsx", "new.xlsx"]


def test_symbolic_link_is_written_through(path, tmp_path):
    (tmp_path / "links").mkdir()
    link = tmp_path / "links" / "link.xlsx"
    os.symlink(os.path.join("..", "book.xlsx"), str(link))
    book = BookParameters(str(link))
    book.load_sheet("A")
    book.set_value("P", 11.0)
    book.save()
    assert os.readlink(str(link)) == os.path.join("..", "book.xlsx")
    assert sheet_cells(path, "A")[1] == row("P", 11.0)
    assert sorted(os.listdir(str(tmp_path))) == ["book.xlsx", "links"]
    assert os.listdir(str(tmp_path / "links")) == ["link.xlsx"]


@pytest.mark.parametrize("kind", [pathlib.Path, os.fsencode])
def test_path_like_and_bytes_names(path, tmp_path, kind):
    book = BookParameters(path)
    book.load_sheet("A")
    book.save_as(kind(str(tmp_path / "new.xlsx")))
    assert titles(str(tmp_path / "new.xlsx")) == ["A"]
    assert sorted(os.listdir(str(tmp_path))) == ["book.xlsx", "new.xlsx"]


def test_file_object_target(path):
    book = BookParameters(path)
    book.load_sheet("A")
    out = io.BytesIO()
    book.save_as(out)
    assert openpyxl.load_workbook(io.BytesIO(out.getvalue())).sheetnames == ["A"]


def test_device_target_is_written_in_place(path, tmp_path):
    # A null device of its own in tmp_path: the file written to it must not
    # replace the device node.
    node = str(tmp_path / "null.xlsx")
    try:
        os.mknod(node, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("creating a device node needs privileges")
    book = BookParameters(path)
    book.load_sheet("A")
    book.save_as(node)
    assert stat.S_ISCHR(os.stat(node).st_mode)
    assert sorted(os.listdir(str(tmp_path))) == ["book.xlsx", "null.xlsx"]


# --- rebound library names: other workbook objects get the plain calls

class FakeSheet:
    def __init__(self, title):
        self.title = title
        self.cells = {}

    def cell(self, row, column):
        return self.cells.setdefault((row, column), Box())

    @property
    def max_row(self):
        return max([1] + [r for r, _ in self.cells])


class Box:
    value = None


class FakeBook:
    calls = []

    def __init__(self, *args, **kwargs):
        FakeBook.calls.append(("new", args, kwargs))
        self.sheets = [FakeSheet("Sheet")]
        self.active = self.sheets[0]

    @property
    def sheetnames(self):
        return [s.title for s in self.sheets]

    def __getitem__(self, title):
        return next(s for s in self.sheets if s.title == title)

    def create_sheet(self, title):
        self.sheets.append(FakeSheet(title))
        return self.sheets[-1]

    def remove_sheet(self, sheet):
        FakeBook.calls.append(("remove_sheet", sheet.title))
        self.sheets.remove(sheet)

    def save(self, name):
        FakeBook.calls.append(("save", name, self.sheetnames))


@pytest.fixture
def fake(monkeypatch):
    FakeBook.calls = []
    monkeypatch.setattr(tp, "Workbook", FakeBook)
    monkeypatch.setattr(tp, "load_workbook", FakeBook)
    return FakeBook.calls


def test_rebound_names_are_looked_up_at_call_time(path, tmp_path, fake):
    book = BookParameters(path)
    table = tp.SheetParameters()
    table.sheet_rename("T")
    table.set_parameter(Parameter("X", value=1))
    book._BookParameters__all_sheet_parameters.append(table)
    target = pathlib.Path(str(tmp_path / "out.xlsx"))
    book.save_as(target)
    book.save()
    assert fake == [("new", (), {}), ("remove_sheet", "Sheet"), ("save", target, ["T"]),
                    ("new", (path,), {}), ("save", path, ["Sheet", "T"])]
    assert os.listdir(str(tmp_path)) == ["book.xlsx"]


def test_rebound_workbook_with_nothing_loaded_keeps_its_default_sheet(tmp_path, fake):
    BookParameters("x.xlsx").save_as("y.xlsx")
    assert fake == [("new", (), {}), ("save", "y.xlsx", ["Sheet"])]


def test_bookname_is_read_again_for_the_store(path, tmp_path, monkeypatch):
    other = str(tmp_path / "other.xlsx")
    book = BookParameters(path)
    real = tp.load_workbook

    def opening(name):
        book.bookname = other
        return real(name)

    monkeypatch.setattr(tp, "load_workbook", opening)
    book.save()
    assert titles(other) == ["A", "B"]


class Name(str):
    """A text object of our own, so that its reference count is ours alone."""


def test_saving_does_not_leak_references(tmp_path):
    target = Name(str(tmp_path / "out.xlsx"))
    desc, title = Name("probe"), Name("T")
    refused = [1, 2]
    aware = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    good = tp.SheetParameters()
    good.sheet_rename(title)
    good.set_parameter("X", desc, 1.0)
    bad = tp.SheetParameters()
    bad.sheet_rename("U")
    bad.set_parameter("L", desc, refused)
    book = BookParameters(target)
    sheets = book._BookParameters__all_sheet_parameters

    def rounds(n):
        for _ in range(n):
            sheets[:] = [good]
            book.save_as(target)
            book.save()
            for value, error in ((refused, ValueError), (aware, TypeError)):
                bad.set_value("L", value)
                sheets[:] = [good, bad]
                with pytest.raises(error):
                    book.save()
                with pytest.raises(error):
                    book.save_as(target)
        gc.collect()

    rounds(2)
    counts = [sys.getrefcount(o) for o in (target, desc, title, refused, aware)]
    rounds(20)
    assert [sys.getrefcount(o) for o in (target, desc, title, refused, aware)] == counts
    assert sorted(os.listdir(str(tmp_path))) == ["out.xlsx"]
