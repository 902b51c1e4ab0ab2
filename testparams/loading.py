"""Loading workbooks through ``orv_testparameters`` with located errors."""
from testparams.errors import CliError, describe_exception, location
from testparams.sheets import first_load_failure


def import_api():
    try:
        import orv_testparameters
    except ImportError as exc:
        raise CliError("cannot import orv_testparameters: %s" % describe_exception(exc))
    return orv_testparameters


def load_failure(api, raw, sheetname, exc, support_eval):
    """A CliError for a failed load_sheet, naming the row and column that failed."""
    failure = first_load_failure(api, raw.layout(sheetname), support_eval)
    if failure is None:
        return CliError("%s: %s" % (location(raw.path, sheetname), describe_exception(exc)))
    return CliError("%s: %s" % (location(raw.path, sheetname, failure.row, failure.col),
                                describe_exception(failure.error)))


def load_sheets(api, raw, sheetnames, support_eval):
    """A BookParameters of ``raw.path`` with the given sheets loaded in order."""
    book = api.BookParameters(raw.path, support_eval)
    for sheetname in sheetnames:
        try:
            book.load_sheet(sheetname)
        except Exception as exc:
            raise load_failure(api, raw, sheetname, exc, support_eval)
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
