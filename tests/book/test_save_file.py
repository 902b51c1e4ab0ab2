"""What a save keeps of the file: untouched cells, macros, pictures, rich
text, owner and permission bits; and that a refused save leaves it as it was."""
import inspect
import os
import shutil
import stat
import tempfile
import traceback
import zipfile
import posixpath
from xml.etree import ElementTree

import openpyxl
import pytest
import xlsxwriter
from PIL import Image

import orv_testparameters as tp
from orv_testparameters import BookParameters, Parameter

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")
CORPUS = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, os.pardir, "shared", "corpus", "calamine")
RICH = "rich_text" in inspect.signature(openpyxl.load_workbook).parameters
MACRO_SHEET = "application/vnd.ms-excel.sheet.macroEnabled.main+xml"
MACRO_TEMPLATE = "application/vnd.ms-excel.template.macroEnabled.main+xml"


def editable(path):
    return openpyxl.load_workbook(path, rich_text=True) if RICH else openpyxl.load_workbook(path)


def cells(path, title="Supply"):
    ws = editable(path)[title]
    return {k: (c.value, c.data_type) for k, c in ws._cells.items()}


def parts(path):
    with zipfile.ZipFile(path) as z:
        return {n: z.read(n) for n in z.namelist()}


def listing(folder):
    out = {}
    for name in sorted(os.listdir(str(folder))):
        p = os.path.join(str(folder), name)
        with open(p, "rb") as fh:
            out[name] = (os.stat(p).st_mode, fh.read())
    return out


def workbook(path, vba=None, picture=None):
    """A parameter workbook written by xlsxwriter: a formula with its
    result, an untyped number, an expression, texts with blanks, rich text."""
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Supply")
    bold = wb.add_format({"bold": True})
    ws.write_row(0, 0, HEADER)
    ws.write_row(1, 0, ["supply", 1.0, 0.9, 1.1, "V", "VDD", "float"])
    ws.write_row(2, 0, ["current", None, None, None, "mA", "IDD", "float"])
    ws.write_formula(2, 1, "=B2*2", None, 2.0)
    ws.write_row(3, 0, ["count  ", 5, None, None, " pcs ", "N", None])
    ws.write_row(4, 0, [None, "self.VDD.value * 2", None, None, None, "E", "eval"])
    ws.write_row(5, 0, [None, "0x10", "1e3", None, None, "H", "int"])
    ws.write_rich_string(6, 0, "plain ", bold, "bold")
    ws.write_row(6, 1, ["GPIB0::5::INSTR", None, None, None, "ADDR", "str"])
    ws.write_rich_string(0, 9, "note ", bold, "beside")
    if vba:
        wb.add_vba_project(str(vba))
    if picture:
        ws.insert_image("J4", str(picture))
    wb.close()
    return str(path)


@pytest.fixture
def vba(tmp_path):
    path = tmp_path / "vbaProject.bin"
    path.write_bytes(bytes(range(256)) * 8)
    return path


def test_a_save_changes_only_the_changed_cell(tmp_path):
    path = workbook(tmp_path / "book.xlsx")
    before = cells(path)
    book = BookParameters(path)
    book.load_sheet("Supply")
    assert book.get_value("IDD") == 2.0 and book.get_value("E") == 2.0
    book.set_value("VDD", 1.25)
    book.save()
    after = cells(path)
    assert after.pop((2, 2)) == (1.25, "n")
    before.pop((2, 2))
    assert after == before


def retype(path, old, new):
    """Rewrites the package with `old` replaced by `new` in its content types."""
    items = parts(path)
    items["[Content_Types].xml"] = items["[Content_Types].xml"].replace(old.encode(), new.encode())
    with zipfile.ZipFile(path, "w") as z:
        for name, data in items.items():
            z.writestr(name, data)


@pytest.mark.parametrize("name, content_type", [
    ("book.xlsm", MACRO_SHEET),
    ("book.xltm", MACRO_TEMPLATE),
    ("macros under another name.xlsx", MACRO_SHEET),
    ("corpus.xlsm", MACRO_SHEET),
    ("plain.xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"),
])
def test_macro_workbooks_keep_their_vba_project_and_content_type(tmp_path, vba, name, content_type):
    path = str(tmp_path / name)
    sheet = "Supply"
    if name.startswith("corpus"):
        source = os.path.join(CORPUS, "vba.xlsm")
        if not os.path.exists(source):
            pytest.skip("no corpus")
        shutil.copy(source, path)
        sheet = openpyxl.load_workbook(path).sheetnames[0]
    elif name.startswith("plain"):
        workbook(path)
    else:
        workbook(tmp_path / "made.xlsm", vba=vba)
        shutil.move(str(tmp_path / "made.xlsm"), path)
        retype(path, MACRO_SHEET, content_type)
    before = parts(path)
    book = BookParameters(path)
    book.load_sheet(sheet)
    book.save()
    after = parts(path)
    assert after.get("xl/vbaProject.bin") == before.get("xl/vbaProject.bin")
    assert ('"%s"' % content_type).encode() in after["[Content_Types].xml"]


@pytest.mark.parametrize("name", ["book.xlsm", "book.xlsx"])
@pytest.mark.parametrize("library", [True, False])
def test_open_options_go_only_to_the_library_function(tmp_path, vba, monkeypatch, name, library):
    import openpyxl.reader.excel as excel
    real = excel.load_workbook
    calls = []

    def without_rich_text(filename, read_only=False, keep_vba=False, data_only=False, keep_links=True):
        calls.append(keep_vba)
        return real(filename, keep_vba=keep_vba)

    def stand_in(filename):
        calls.append("name only")
        return real(filename)

    if library:  # a library whose load_workbook takes no rich_text, as 3.0 has it
        monkeypatch.setattr(excel, "load_workbook", without_rich_text)
    monkeypatch.setattr(tp, "load_workbook", without_rich_text if library else stand_in)
    path = workbook(tmp_path / "made.xlsm", vba=vba if name.endswith("m") else None)
    os.rename(path, str(tmp_path / name))
    BookParameters(str(tmp_path / name)).save()
    assert calls == [name.endswith("m")] if library else calls == ["name only"]


def package(path):
    """Parts (bytes), their content types, and the relationships whose
    target is missing, of the package at `path`."""
    with zipfile.ZipFile(path) as z:
        data = {n: z.read(n) for n in z.namelist() if not n.endswith("/")}
    types = ElementTree.fromstring(data["[Content_Types].xml"])
    default = {e.get("Extension").lower(): e.get("ContentType") for e in types if e.tag.endswith("Default")}
    override = {e.get("PartName").lstrip("/"): e.get("ContentType") for e in types if e.tag.endswith("Override")}
    typed = {n: override.get(n, default.get(n.rsplit(".", 1)[-1].lower())) for n in data}
    dangling = []
    for name in (n for n in data if n.endswith(".rels")):
        folder = posixpath.dirname(posixpath.dirname(name))
        for rel in ElementTree.fromstring(data[name]):
            target = rel.get("Target")
            target = target[1:] if target.startswith("/") else posixpath.normpath(posixpath.join(folder, target))
            if rel.get("TargetMode") != "External" and target not in data:
                dangling.append((name, target))
    return data, typed, dangling


def add_parts(path, parts_added, types):
    """Adds parts (name: bytes) to the package, with content type overrides."""
    items = dict(parts(path), **parts_added)
    overrides = "".join('<Override PartName="/%s" ContentType="%s"/>' % kv for kv in types.items())
    items["[Content_Types].xml"] = items["[Content_Types].xml"].replace(b"</Types>", overrides.encode() + b"</Types>")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in items.items():
            z.writestr(name, data)


CONTROLS = {
    "xl/ctrlProps/ctrlProp1.xml": ("application/vnd.ms-excel.controlproperties+xml",
                                   b'<formControlPr xmlns="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main"'
                                   b' objectType="CheckBox"/>'),
    "xl/activeX/activeX1.xml": ("application/vnd.ms-office.activeX+xml",
                                b'<ax:ocx xmlns:ax="http://schemas.microsoft.com/office/2006/activeX"'
                                b' xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"'
                                b' ax:classid="{8BD21D40-EC42-11CE-9E0D-00AA006002F3}" ax:persistence="persistStorage"'
                                b' r:id="rId1"/>'),
    "xl/activeX/activeX1.bin": ("application/vnd.ms-office.activeX", bytes(range(64))),
    "xl/activeX/_rels/activeX1.xml.rels": (None,
                                           b'<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relat'
                                           b'ionships"><Relationship Id="rId1" Type="http://schemas.microsoft.com/offi'
                                           b'ce/2006/relationships/activeXControlBinary" Target="activeX1.bin"/>'
                                           b'</Relationships>'),
}


@pytest.mark.parametrize("case", ["signed VBA project", "controls", "no VBA project", "corpus"])
def test_macro_workbook_package_stays_whole(tmp_path, vba, case):
    """VBA signatures, ActiveX and form-control parts keep their bytes,
    content types and relationships; no relationship points to a missing part."""
    path = str(tmp_path / "book.xlsm")
    if case == "corpus":
        if not os.path.exists(os.path.join(CORPUS, "issue221.xlsm")):
            pytest.skip("no corpus")
        shutil.copy(os.path.join(CORPUS, "issue221.xlsm"), path)  # an .xlsm without a VBA project
    elif case == "signed VBA project":
        signature = tmp_path / "vbaProjectSignature.bin"
        signature.write_bytes(b"signed" * 50)
        wb = xlsxwriter.Workbook(path)
        wb.add_worksheet("Supply").write_row(0, 0, HEADER)
        wb.add_signed_vba_project(str(vba), str(signature))
        wb.close()
    else:
        workbook(path, vba=vba if case == "controls" else None)
        if case == "controls":
            add_parts(path, {k: v[1] for k, v in CONTROLS.items()}, {k: v[0] for k, v in CONTROLS.items() if v[0]})
    before, types_before, dangling = package(path)
    assert dangling == [] or case == "no VBA project"
    BookParameters(path).save()
    after, types_after, dangling = package(path)
    assert dangling == []
    kept = [n for n in before if n.startswith(("xl/vba", "xl/_rels/vba", "xl/activeX", "xl/ctrlProps"))]
    assert len(kept) == {"signed VBA project": 3, "controls": 5, "no VBA project": 0, "corpus": 0}[case]
    assert [(after.get(n), types_after.get(n)) for n in kept] == [(before[n], types_before[n]) for n in kept]


def test_pictures_survive(tmp_path):
    picture = tmp_path / "dot.png"
    Image.new("RGB", (3, 2), "red").save(str(picture))
    path = workbook(tmp_path / "book.xlsx", picture=picture)
    before = {n: d for n, d in parts(path).items() if n.startswith("xl/media/")}
    book = BookParameters(path)
    book.load_sheet("Supply")
    book.set_value("VDD", 2.0)
    book.save()
    assert before and {n: d for n, d in parts(path).items() if n.startswith("xl/media/")} == before


@pytest.mark.skipif(not RICH, reason="this openpyxl reads no rich text")
def test_rich_text_survives(tmp_path):
    path = workbook(tmp_path / "book.xlsx")
    book = BookParameters(path)
    book.load_sheet("Supply")
    book.set_value("ADDR", "GPIB0::6::INSTR")
    book.save()
    ws = editable(path)["Supply"]
    for cell in ("A7", "J1"):
        assert isinstance(ws[cell].value, openpyxl.cell.rich_text.CellRichText)
        assert [getattr(b, "font", None) is not None for b in ws[cell].value] == [False, True]


# --- owner and permission bits

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="giving a file away needs root")
NOBODY = 65534


@needs_root
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o2660])
def test_the_file_keeps_owner_group_and_mode_from_the_start(tmp_path, monkeypatch, mode):
    path = workbook(tmp_path / "book.xlsx")
    os.chown(path, NOBODY, NOBODY)
    os.chmod(path, mode)
    seen = []
    real_save = openpyxl.Workbook.save

    def save(self, filename):
        st = os.stat(filename)
        seen.append((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)))
        return real_save(self, filename)

    monkeypatch.setattr(openpyxl.Workbook, "save", save)
    book = BookParameters(path)
    book.load_sheet("Supply")
    book.set_value("VDD", 3.0)
    old = os.umask(0o077)
    try:
        book.save()
    finally:
        os.umask(old)
    st = os.stat(path)
    assert seen == [(NOBODY, NOBODY, mode)] == [(st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode))]
    assert sorted(os.listdir(str(tmp_path))) == ["book.xlsx"]


@needs_root
def test_a_group_the_user_may_not_give_is_no_error():
    # Outside pytest's tmp_path, whose parents only root may enter.
    folder = tempfile.mkdtemp(prefix="tp-owner-")
    try:
        path = workbook(os.path.join(folder, "book.xlsx"))
        os.chown(folder, NOBODY, NOBODY)
        os.chown(path, NOBODY, 0)
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.setgid(NOBODY)
                os.setuid(NOBODY)
                book = BookParameters(path)
                book.load_sheet("Supply")
                book.set_value("VDD", 4.0)
                book.save()
                code = 0
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(code)
        assert os.waitpid(pid, 0)[1] == 0, "the save as nobody failed (see its output)"
        st = os.stat(path)
        assert (st.st_uid, st.st_gid) == (NOBODY, NOBODY)
        assert os.listdir(folder) == ["book.xlsx"]
    finally:
        shutil.rmtree(folder)


# --- a refused save leaves the file as it was

def grow_into_a_note(book):
    book.get_sheet_parameters("Supply").set_parameter(Parameter("NEW", value=1))


@pytest.mark.parametrize("spoil, error", [
    (lambda book: book.set_value("H", float("inf")), "Supply!B6 \\(parameter H\\)"),
    (lambda book: book.set_value("E", object()), "Supply!B5 \\(parameter E\\)"),
    (lambda book: book.set_value("ADDR", [1]), "Supply!B7 \\(parameter ADDR\\): Cannot convert"),
    (lambda book: book.set_value("IDD", 1.5), "Supply!B3:C3"),
    (grow_into_a_note, "Supply row 8"),
])
def test_a_refused_save_leaves_the_file_byte_identical(tmp_path, vba, spoil, error):
    path = workbook(tmp_path / "book.xlsm", vba=vba)
    wb = openpyxl.load_workbook(path, keep_vba=True)
    wb["Supply"]["A8"] = "--- spare ---"
    wb["Supply"].merge_cells("B3:C3")
    wb.save(path)
    wb.vba_archive.close()
    book = BookParameters(path)
    book.load_sheet("Supply")
    spoil(book)
    before = listing(tmp_path)
    with pytest.raises(ValueError, match="^" + error):
        book.save()
    assert listing(tmp_path) == before
