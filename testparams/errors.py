"""Exit statuses, the one-line error of the command line, and locations."""
from testparams.layout import cell_ref, sheet_ref

EXIT_OK = 0
EXIT_FOUND = 1     # check found problems, diff found differences
EXIT_ERROR = 2     # bad input: unreadable file, unknown sheet or name, bad value


class CliError(Exception):
    """A failure reported as one line on stderr, with an exit status."""

    def __init__(self, message, status=EXIT_ERROR):
        Exception.__init__(self, message)
        self.message = message
        self.status = status


def one_line(text, limit=300):
    text = " ".join(str(text).split())
    return text if len(text) <= limit else text[:limit - 3] + "..."


def describe_exception(exc):
    """The exception's message on one line (its notes left out); the class
    name unless it is a plain ValueError or TypeError, whose messages read
    well on their own."""
    try:
        message = one_line(exc)
    except Exception:  # a message that cannot be made text
        message = ""
    if type(exc) in (ValueError, TypeError) and message:
        return message
    if not message:
        return type(exc).__name__
    return "%s: %s" % (type(exc).__name__, message)


def location(path, sheet=None, row=None, col=None, last=None):
    """'book.xlsx:Supply!B6' as far as known; ``last`` (row, col) makes a range."""
    text = str(path)
    if sheet is None:
        return text if row is None else text + ":" + cell_ref(row, col or 1)
    text += ":" + sheet_ref(sheet)
    if row is None:
        return text
    text += "!" + cell_ref(row, col or 1)
    if last is not None:
        text += ":" + cell_ref(*last)
    return text
