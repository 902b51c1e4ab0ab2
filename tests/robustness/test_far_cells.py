"""A workbook with a cell far below its parameter table (a note, a stray
entry) is saved without the table's rows reaching down to it."""

import re
import zipfile


import orv_testparameters as tp
import xlsxgen as g

FAR_ROW = 200000


def far_cell_workbook(path):
    rows = g.parameter_rows(5)
    note = ('<row r="%d"><c r="J%d" t="inlineStr"><is><t>far note</t></is></c></row>'
            % (FAR_ROW, FAR_ROW))
    doc = g.sheet_xml(rows).replace("</sheetData>", note + "</sheetData>")
    path.write_bytes(g.build_xlsx([("Params", rows)], replace={g.sheet_part(1): doc}))


def sheet_rows(path):
    with zipfile.ZipFile(str(path)) as zf:
        doc = zf.read(g.sheet_part(1)).decode("utf-8")
    return re.findall(r'<row r="(\d+)"', doc), doc


def test_save_does_not_fill_rows_down_to_a_far_cell(tmp_path):
    path = tmp_path / "far.xlsx"
    far_cell_workbook(path)
    before, _ = sheet_rows(path)
    book = tp.BookParameters(str(path))
    book.load_sheet("Params")
    book.set_value("P1", 2.5)
    book.save()
    after, doc = sheet_rows(path)
    assert "far note" in doc
    assert str(FAR_ROW) in after
    # The same rows as before: the table's rows were rewritten in place.
    assert len(after) <= len(before), "%d rows before, %d after" % (len(before), len(after))
