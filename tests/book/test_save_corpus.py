"""Every workbook of the shared corpus that openpyxl reads, saved with no
change of the module's own: it keeps its cells and stored formula results,
and whatever it loses is named in the save's one warning."""
import math
import os
import re
import shutil
import warnings

import openpyxl
import pytest

from orv_testparameters import BookParameters, Parameter, SheetParameters

CORPUS = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "corpus", "calamine")
FILES = sorted(f for f in os.listdir(CORPUS) if f.endswith((".xlsx", ".xlsm"))) if os.path.isdir(CORPUS) else []

pytestmark = pytest.mark.skipif(not FILES, reason="the shared corpus is not there")


def contents(path):
    """Every non-empty cell: its formula (or value) and its stored result."""
    out = {}
    for data_only in (False, True):
        wb = openpyxl.load_workbook(path, read_only=True, data_only=data_only)
        for ws in wb.worksheets:
            if not hasattr(ws, "reset_dimensions"):
                continue
            ws.reset_dimensions()
            for r, row in enumerate(ws.iter_rows(values_only=True)):
                for c, v in enumerate(row):
                    if v is not None and v != "" and not (isinstance(v, float) and math.isnan(v)):
                        out[(data_only, ws.title, r, c)] = v
        wb.close()
    return out


@pytest.mark.parametrize("name", FILES)
def test_save_without_change_keeps_the_workbook(tmp_path, name):
    path = str(tmp_path / name)
    shutil.copyfile(os.path.join(CORPUS, name), path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            openpyxl.load_workbook(path)
        except Exception:
            pytest.skip("openpyxl does not read it")
        before = contents(path)
    with open(path, "rb") as f:
        original = f.read()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            BookParameters(path).save()
        except Exception as error:
            # openpyxl's writer may refuse what its reader took (a workbook with no
            # visible sheet): the file must then be as it was.
            with open(path, "rb") as f:
                assert f.read() == original
            assert os.listdir(str(tmp_path)) == [name]
            pytest.skip("openpyxl refuses to write it: %r" % error)
    # openpyxl leaves a file open when it fails to read a workbook (an earlier,
    # skipped case); the collector may report that here.
    caught = [w for w in caught if not issubclass(w.category, ResourceWarning)]
    assert [w.category for w in caught] in ([], [UserWarning])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            after = contents(path)
        except Exception:
            # Some openpyxl releases (3.1.3) cannot read back the styles they write.
            plain = str(tmp_path / ("plain-" + name))
            openpyxl.load_workbook(os.path.join(CORPUS, name)).save(plain)
            try:
                contents(plain)
            except Exception as error:
                pytest.skip("openpyxl cannot read back its own save: %r" % error)
            raise
    changed = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
    if caught:
        assert str(caught[0].message).startswith(path + ": this save drops what openpyxl cannot keep: ")
    assert changed == []


@pytest.mark.parametrize("name", FILES)
def test_save_that_adds_a_sheet_keeps_or_removes_results_never_alters_them(tmp_path, name):
    """A save that changes something (here: a new parameter sheet) makes every
    formula of the workbook go through the reference analysis."""
    path = str(tmp_path / name)
    shutil.copyfile(os.path.join(CORPUS, name), path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            openpyxl.load_workbook(path)
            before = contents(path)
        except Exception:
            pytest.skip("openpyxl does not read it")
        book = BookParameters(path)
        table = SheetParameters()
        table.set_parameter(Parameter("P", value=1.5))
        table.sheet_rename("ZZ new")
        book._BookParameters__all_sheet_parameters.append(table)
        try:
            book.save()
            after = contents(path)
        except Exception as error:
            pytest.skip("openpyxl does not write or read back this workbook: %r" % error)
    for key, value in before.items():
        if key[1] == "ZZ new":
            continue
        if key[0] and (False, key[1], key[2], key[3]) in before and \
                isinstance(before[(False,) + key[1:]], str) and before[(False,) + key[1:]].startswith("="):
            assert after.get(key) in (value, None), key       # a formula's result: kept or removed
        elif not hasattr(value, "year"):
            assert after.get(key) == value, key


@pytest.mark.parametrize("name, said", [
    ("any_sheets.xlsx", re.escape("Chart: 1 chart color style, 1 chart style")),
    ("picture_richdata.xlsx", re.escape("Sheet1: 1 rich value cell; workbook: 1 cell metadata part, 4 rich value parts")),
    # a print area of #REF! and an unknown reserved name (openpyxl 3.0 keeps the latter)
    ("issue_174.xlsx", "workbook: (2 defined names|1 defined name)"),
    ("date_iso.xlsx", None),       # ISO dates stay ISO text
    ("issue221.xlsm", None),       # an .xlsm without a VBA project
])
def test_the_warning_names_what_goes(tmp_path, name, said):
    path = str(tmp_path / name)
    shutil.copyfile(os.path.join(CORPUS, name), path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        BookParameters(path).save()
    messages = [str(w.message) for w in caught if w.category is UserWarning]
    if said is None:
        assert messages == []
    else:
        assert len(messages) == 1
        assert re.fullmatch(re.escape(path + ": this save drops what openpyxl cannot keep: ") + said, messages[0])
