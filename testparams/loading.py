"""Loading parameter sheets through ``orv_testparameters``.

Two ways: ``load_sheets`` lets the module load sheets from the file, and
``replay`` converts the rows of a scanned sheet one cell at a time through
the module's own ``_parse_value`` and ``Parameter``, registering them the way
``SheetParameters.load`` does, so that each cell that fails is known, not
only the first.
"""
import collections

from testparams.errors import CliError, describe_exception, location
from testparams.layout import NAME_COL, TYPE_COL, VALUE_COLS

# A cell that failed to convert (col 2 to 4), or a row that failed to
# register under its name (col 6), with the exception.
Failure = collections.namedtuple("Failure", "row col name error")


def import_api():
    try:
        import orv_testparameters
    except ImportError as exc:
        raise CliError("cannot import orv_testparameters: %s" % describe_exception(exc))
    return orv_testparameters


class Replay(object):
    """The rows of one sheet converted and registered as loading does."""

    def __init__(self, api, layout, support_eval):
        table = api.SheetParameters(support_eval)
        parse = table._parse_value
        make = api.Parameter
        self.records = {}        # name -> (Parameter, row) of the row that loading keeps
        self.converted = {}      # row -> (value, low, up) as converted
        self.failures = []
        registered = set()
        for row in layout.reachable:
            desc, value, low, up, unit, name, type_cell = row.cells
            converted = []
            failed = False
            for col, content in zip(VALUE_COLS, (value, low, up)):
                try:
                    converted.append(parse(content, type_cell))
                except Exception as exc:
                    failed = True
                    if type_cell is not None and not isinstance(type_cell, str):
                        self.failures.append(Failure(row.row, TYPE_COL, name, exc))
                        break  # the Type cell is at fault, once for the row
                    self.failures.append(Failure(row.row, col, name, exc))
                    converted.append(None)
            if failed:
                continue
            self.converted[row.row] = converted
            try:
                para = make(name, desc, converted[0], converted[1], converted[2], unit, type_cell)
                if name not in registered:
                    # A table of its own refuses what the sheet's table would:
                    # reserved and non-text names.
                    api.SheetParameters(support_eval).set_parameter(para)
                    registered.add(name)
            except Exception as exc:
                col = TYPE_COL if type_cell is not None and not isinstance(type_cell, str) \
                    else NAME_COL
                self.failures.append(Failure(row.row, col, name, exc))
                continue
            self.records[name] = (para, row.row)


EVAL_HINT = ' (--eval evaluates "eval" cells: only for workbooks you trust)'


def located_failure(path, sheetname, failure, eval_hint=EVAL_HINT):
    message = describe_exception(failure.error)
    if message.startswith('Variable type "eval" is not supported'):
        message += eval_hint
    return CliError("%s: %s: %s" % (location(path, sheetname, failure.row, failure.col),
                                    failure.name, message))


def load_sheets(api, raw, sheetnames, support_eval, progress=None, eval_hint=EVAL_HINT):
    """A BookParameters of ``raw.path`` with the given sheets loaded in order;
    a failed load names the first cell that fails (and, for an "eval" cell
    refused, how to allow it: ``eval_hint``)."""
    book = api.BookParameters(raw.path, support_eval)
    for sheetname in sheetnames:
        if progress is not None:
            progress(raw.path, sheetname)
        try:
            book.load_sheet(sheetname)
        except Exception as exc:
            failures = Replay(api, raw.layout(sheetname), support_eval).failures
            if failures:
                raise located_failure(raw.path, sheetname, failures[0], eval_hint)
            raise CliError("%s: %s" % (location(raw.path, sheetname), describe_exception(exc)))
    return book


def sheet_tables(book):
    """(sheet name, SheetParameters) of every loaded sheet, in load order."""
    return [(name, book.get_sheet_parameters(name)) for name in book.get_all_sheet_names()]


def sheet_holding(book, name):
    """The loaded sheet whose record ``book.get_parameter(name)`` returns.

    The book searches from the most recently loaded sheet back to the first.
    """
    for sheetname in reversed(book.get_all_sheet_names()):
        if book.get_sheet_parameters(sheetname).has_parameter(name):
            return sheetname
    return None


def sheets_holding(book, name):
    return [sheetname for sheetname in book.get_all_sheet_names()
            if book.get_sheet_parameters(sheetname).has_parameter(name)]
