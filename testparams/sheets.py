"""Raw cells of a parameter workbook, read with openpyxl.

The tool reads cells itself for two things only: listing the sheets of a
workbook, and finding the row and column that a problem belongs to.  The
parameters themselves always come from ``orv_testparameters``.

Rows are walked the way ``SheetParameters.load`` walks them when
``BookParameters.load_sheet`` calls it: rows 2 to ``max_row``, a row is empty
when its Name cell is empty or blank, and the first empty row ends the table
(``max_empty_row`` 0).
"""
import collections
import os

import openpyxl

from testparams.errors import CliError, describe_exception

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")
COLUMN_LETTERS = "ABCDEFG"
NAME_COL = 6
TYPE_COL = 7
VALUE_COLS = (2, 3, 4)
KNOWN_TYPES = frozenset(
    ("auto", "unicode", "str", "string", "bytes", "int", "float", "bool", "boolean", "eval")
)

# One worksheet row: its 1-based number and the contents of columns A..G.
Row = collections.namedtuple("Row", "row cells")


def column_label(col):
    return "%s (%s)" % (COLUMN_LETTERS[col - 1], HEADER[col - 1])


def normalised_type(type_cell):
    """The variable type a Type cell selects (the module's own normalisation)."""
    if type_cell is None:
        return "str"
    if not isinstance(type_cell, str):
        return None
    text = type_cell.strip().lower()
    return text or "str"


def is_empty_name(name):
    return name is None or str(name).strip() == ""


def is_blank(content):
    return content is None or str(content).strip() == ""


class SheetLayout(object):
    """How the rows of one worksheet fall into the parameter table."""

    def __init__(self, rows):
        self.header = rows[0] if rows and rows[0].row == 1 else None
        self.reachable = []     # named rows that loading reads
        self.end_row = None     # the empty row that ends the table, if any
        self.unreachable = []   # named rows below end_row
        for row in rows:
            if row.row < 2:
                continue
            if is_empty_name(row.cells[NAME_COL - 1]):
                if self.end_row is None:
                    self.end_row = row.row
                continue
            if self.end_row is None:
                self.reachable.append(row)
            else:
                self.unreachable.append(row)

    def repeated_names(self):
        """(row, first_row) for each reachable row whose name an earlier row holds."""
        first = {}
        repeats = []
        for row in self.reachable:
            name = row.cells[NAME_COL - 1]
            try:
                hash(name)
            except TypeError:
                continue
            if name in first:
                repeats.append((row, first[name]))
            else:
                first[name] = row.row
        return repeats


class RawBook(object):
    """A workbook opened read-only with openpyxl, as ``load_sheet`` opens it."""

    def __init__(self, path):
        self.path = path
        self._rows = {}
        self._formula_book = None
        self._book = open_workbook(path, data_only=True)
        self.sheetnames = [sheet.title for sheet in self._book.worksheets]  # no chart sheets

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def close(self):
        for book in (self._book, self._formula_book):
            if book is not None:
                book.close()
        self._book = self._formula_book = None

    def rows(self, sheetname):
        """All rows of the sheet from row 1 to ``max_row``, columns A..G."""
        if sheetname not in self._rows:
            self._rows[sheetname] = read_rows(self._book[sheetname])
        return self._rows[sheetname]

    def layout(self, sheetname):
        return SheetLayout(self.rows(sheetname))

    def formulas(self, sheetname, rows):
        """{(row, col): formula text} for the given row numbers, columns A..G."""
        if self._formula_book is None:
            self._formula_book = open_workbook(self.path, data_only=False)
        wanted = set(rows)
        found = {}
        if not wanted or sheetname not in self._formula_book.sheetnames:
            return found
        for row in read_rows(self._formula_book[sheetname], max_row=max(wanted)):
            if row.row not in wanted:
                continue
            for col, content in enumerate(row.cells, 1):
                if is_formula(content):
                    found[(row.row, col)] = formula_text(content)
        return found

    def select_sheets(self, requested):
        """The named sheets in the order given (all sheets when none is named)."""
        if not requested:
            return list(self.sheetnames)
        chosen = []
        for name in requested:
            if name not in self.sheetnames and name in self._book.sheetnames:
                raise CliError('%s: sheet "%s" is a chart sheet, not a parameter sheet'
                               % (self.path, name))
            if name not in self.sheetnames:
                raise CliError('%s: no sheet named "%s" (sheets: %s)'
                               % (self.path, name, ", ".join(self.sheetnames) or "none"))
            if name not in chosen:
                chosen.append(name)
        return chosen


def open_workbook(path, data_only):
    # openpyxl judges by the file name first, so say plainly what is wrong.
    if os.path.isdir(path):
        raise CliError("%s: is a directory, not a workbook" % path)
    if not os.path.exists(path):
        raise CliError("%s: no such file" % path)
    try:
        return openpyxl.load_workbook(path, read_only=True, data_only=data_only)
    except FileNotFoundError:
        raise CliError("%s: no such file" % path)
    except IsADirectoryError:
        raise CliError("%s: is a directory, not a workbook" % path)
    except PermissionError:
        raise CliError("%s: permission denied" % path)
    except Exception as exc:
        raise CliError("%s: cannot read as a workbook: %s" % (path, describe_exception(exc)))


def read_rows(sheet, max_row=None):
    if max_row is None:
        max_row = sheet.max_row
    if max_row is None:  # no stored dimensions: read to the last row present
        sheet.reset_dimensions()
    rows = []
    cells = sheet.iter_rows(min_row=1, max_row=max_row, max_col=7, values_only=True)
    for number, values in enumerate(cells, 1):
        values = tuple(values)[:7]
        rows.append(Row(number, values + (None,) * (7 - len(values))))
    return rows


def is_formula(content):
    if isinstance(content, str):
        return content.startswith("=")
    return type(content).__name__ in ("ArrayFormula", "DataTableFormula")


def formula_text(content):
    return content if isinstance(content, str) else str(getattr(content, "text", content))


# The outcome of converting one row the way loading does.
RowResult = collections.namedtuple("RowResult", "row col error")


def convert_row(api, table, row):
    """Convert and register one row into ``table`` exactly as loading does.

    Returns None on success, otherwise a RowResult naming the column whose
    conversion (or registration) raised, with the exception.
    """
    desc, value, low, up, unit, name, type_cell = row.cells
    converted = []
    col = VALUE_COLS[0]
    try:
        for col, content in zip(VALUE_COLS, (value, low, up)):
            converted.append(table._parse_value(content, type_cell))
        col = NAME_COL
        table.set_parameter(api.Parameter(name, desc, converted[0], converted[1], converted[2],
                                          unit, type_cell))
    except Exception as exc:
        if type_cell is not None and not isinstance(type_cell, str):
            col = TYPE_COL
        return RowResult(row.row, col, exc)
    return None


def first_load_failure(api, layout, support_eval):
    """Replay loading row by row; the first row that fails, or None."""
    table = api.SheetParameters(support_eval)
    for row in layout.reachable:
        failure = convert_row(api, table, row)
        if failure is not None:
            return failure
    return None
