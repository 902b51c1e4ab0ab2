"""Raw cells of a parameter workbook, read with openpyxl in one pass per sheet.

The tool reads cells itself to find the row and column that a problem
belongs to and what loading cannot show: error cells, formulas without a
stored result, merged cells.  The parameters themselves always come from
``orv_testparameters`` (see loading.py).

A sheet is read as ``load_sheet`` reads it: the read-only workbook's sheet
parser with stored results in place of formulas (``data_only``), every row
that the sheet's data holds, columns A to G.
"""
import collections
import os

import openpyxl
from openpyxl.utils.cell import range_boundaries
from openpyxl.worksheet import _reader

from testparams.errors import CliError, describe_exception, location
from testparams.layout import HEADER, NAME_COL, is_blank

# One worksheet row: its 1-based number and the contents of columns A..G.
Row = collections.namedtuple("Row", "row cells")
# A formula cell of columns A..G: its text and whether the file stores a result.
Formula = collections.namedtuple("Formula", "text has_result")
# A merged range: its text (B3:C4) and bounds.
Merged = collections.namedtuple("Merged", "ref min_row min_col max_row max_col")

WIDTH = len(HEADER)
BOOK_SUFFIXES = (".xlsx", ".xlsm")


class _CellFailure(Exception):
    def __init__(self, ref, error):
        Exception.__init__(self, ref, error)
        self.ref = ref
        self.error = error


class _Parser(_reader.WorkSheetParser):
    """The library's sheet parser, noting error cells and formulas of A..G."""

    def __init__(self, *args, **kwargs):
        _reader.WorkSheetParser.__init__(self, *args, **kwargs)
        self.error_cells = set()
        self.formulas = {}

    def parse_cell(self, element):
        try:
            cell = _reader.WorkSheetParser.parse_cell(self, element)
        except Exception as exc:  # e.g. a shared string index past the table
            raise _CellFailure(element.get("r"), exc)
        col = cell["column"]
        if col <= WIDTH:
            if cell["data_type"] == "e":
                self.error_cells.add((cell["row"], col))
            if element.find(_reader.FORMULA_TAG) is not None:
                text = self.parse_formula(element)
                self.formulas[(cell["row"], col)] = Formula(
                    str(getattr(text, "text", text)), cell["value"] is not None)
        return cell


class SheetScan(object):
    """What one pass over a worksheet found."""

    def __init__(self, title, rows, error_cells, formulas, merged):
        self.title = title
        self.rows = rows                # Row, in sheet order; rows without cells left out
        self.error_cells = error_cells  # {(row, col)} holding an error value
        self.formulas = formulas        # {(row, col): Formula}
        self.merged = merged            # [Merged]
        self._layout = None

    @property
    def layout(self):
        if self._layout is None:
            self._layout = SheetLayout(self.rows)
        return self._layout


class SheetLayout(object):
    """How the rows of one worksheet fall into the parameter table."""

    def __init__(self, rows):
        self.header = rows[0] if rows and rows[0].row == 1 else None
        self.reachable = []     # named rows that loading reads
        self.end_row = None     # the empty row that ends the table, if any
        self.unreachable = []   # named rows below end_row
        expected = 2
        for row in rows:
            if row.row < 2:
                continue
            if self.end_row is None and row.row > expected:
                self.end_row = expected  # a row without cells ends the table
            expected = row.row + 1
            if is_blank(row.cells[NAME_COL - 1]):
                if self.end_row is None:
                    self.end_row = row.row
                continue
            (self.reachable if self.end_row is None else self.unreachable).append(row)

    @property
    def last_row(self):
        """The last row that the table spans (the header when it is empty)."""
        return self.reachable[-1].row if self.reachable else 1

    def rows_by_name(self):
        """{name: row number} of the reachable rows; for a repeated name the
        last row, whose record loading keeps."""
        return dict((row.cells[NAME_COL - 1], row.row) for row in self.reachable)

    def repeated_names(self):
        """(row, first_row) for each reachable row whose name an earlier row holds."""
        first = {}
        repeats = []
        for row in self.reachable:
            name = row.cells[NAME_COL - 1]
            if name in first:
                repeats.append((row, first[name]))
            else:
                first[name] = row.row
        return repeats


class RawBook(object):
    """A workbook opened read-only with openpyxl, as ``load_sheet`` opens it."""

    def __init__(self, path):
        self.path = path
        self._scans = {}
        self._book = open_workbook(path)
        self.sheetnames = [sheet.title for sheet in self._book.worksheets]  # no chart sheets

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def close(self):
        if self._book is not None:
            self._book.close()
        self._book = None

    def scan(self, sheetname, progress=None):
        """The SheetScan of a sheet, read once."""
        if sheetname not in self._scans:
            self._scans[sheetname] = scan_sheet(self.path, self._book[sheetname], progress)
        return self._scans[sheetname]

    def layout(self, sheetname):
        return self.scan(sheetname).layout

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


def check_readable(path):
    """Refuse plainly what openpyxl would refuse with a puzzling message."""
    if os.path.isdir(path):
        raise CliError("%s: is a directory, not a workbook" % path)
    if not os.path.exists(path):
        raise CliError("%s: no such file" % path)
    if not os.access(path, os.R_OK):
        raise CliError("%s: permission denied" % path)


def open_workbook(path):
    check_readable(path)
    try:
        return openpyxl.load_workbook(path, read_only=True, data_only=True)
    except PermissionError:
        raise CliError("%s: permission denied" % path)
    except Exception as exc:
        raise CliError("%s: cannot read as a workbook: %s" % (path, describe_exception(exc)))


def scan_sheet(path, sheet, progress=None):
    """One pass of the library's parser over a read-only worksheet."""
    book = sheet.parent
    options = {"data_only": True, "epoch": book.epoch, "date_formats": book._date_formats}
    if hasattr(book, "_timedelta_formats"):  # openpyxl 3.1
        options["timedelta_formats"] = book._timedelta_formats
    rows = []
    empty = (None,) * WIDTH
    with sheet._get_source() as source:
        parser = _Parser(source, sheet._shared_strings, **options)
        try:
            for number, cells in parser.parse():
                values = None
                for cell in cells:
                    col = cell["column"]
                    if col <= WIDTH and cell["value"] is not None:
                        if values is None:
                            values = list(empty)
                        values[col - 1] = cell["value"]
                rows.append(Row(number, empty if values is None else tuple(values)))
                if progress is not None and not number % 1000:
                    progress(number)
        except _CellFailure as failure:
            raise CliError("%s!%s: cannot read the cell: %s"
                           % (location(path, sheet.title), failure.ref,
                              describe_exception(failure.error)))
        except CliError:
            raise
        except Exception as exc:
            raise CliError("%s: cannot read the sheet: %s"
                           % (location(path, sheet.title), describe_exception(exc)))
    merged = []
    for cell_range in getattr(parser.merged_cells, "mergeCell", None) or ():
        min_col, min_row, max_col, max_row = range_boundaries(cell_range.ref)
        merged.append(Merged(cell_range.ref, min_row, min_col, max_row, max_col))
    return SheetScan(sheet.title, rows, parser.error_cells, parser.formulas, merged)


def find_workbooks(paths):
    """[(path, error)]: the paths given, folders searched recursively for
    .xlsx and .xlsm files (sorted, office lock files left out); error is a
    CliError for a path that holds no workbook."""
    found = []
    for path in paths:
        if not os.path.isdir(path):
            found.append((path, None))
            continue
        books = []
        for folder, dirs, files in os.walk(path):
            dirs.sort()
            for name in sorted(files):
                if name.lower().endswith(BOOK_SUFFIXES) and not name.startswith("~$"):
                    books.append(os.path.join(folder, name))
        if books:
            found.extend((book, None) for book in books)
        else:
            found.append((path, CliError("%s: folder holds no .xlsx or .xlsm workbook" % path)))
    return found
