import openpyxl
import pytest

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")


def write_book(path, sheets, header=True):
    """Writes a workbook: `sheets` maps titles to lists of 7-column rows
    (description, value, low, up, unit, name, type)."""
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for title, rows in sheets.items():
        ws = wb.create_sheet(title)
        if header:
            ws.append(HEADER)
        for row in rows:
            ws.append(list(row))
    wb.save(str(path))
    return str(path)


@pytest.fixture
def make_book(tmp_path):
    def make(sheets, name="book.xlsx", header=True):
        return write_book(tmp_path / name, sheets, header)

    return make
