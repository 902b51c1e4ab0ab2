"""Error reporting shared by the subcommands."""

EXIT_OK = 0
EXIT_FOUND = 1     # check found problems, diff found differences
EXIT_ERROR = 2     # bad input: unreadable file, unknown sheet or name, bad value


class CliError(Exception):
    """A failure reported as one line on stderr, with an exit status."""

    def __init__(self, message, status=EXIT_ERROR):
        Exception.__init__(self, message)
        self.message = message
        self.status = status


def one_line(text):
    return " ".join(str(text).split())


def describe_exception(exc):
    """The exception's message on one line; the class name unless it is a plain
    ValueError or TypeError, whose messages read well on their own."""
    message = one_line(exc)
    if type(exc) in (ValueError, TypeError) and message:
        return message
    if not message:
        return type(exc).__name__
    return "%s: %s" % (type(exc).__name__, message)


def location(path, sheet=None, row=None, col=None):
    """'book.xlsx: sheet "Supply", row 5, column B (Value)' as far as known."""
    from testparams.sheets import column_label

    parts = []
    if sheet is not None:
        parts.append('sheet "%s"' % sheet)
    if row is not None:
        parts.append("row %d" % row)
    if col is not None:
        parts.append("column %s" % column_label(col))
    if not parts:
        return str(path)
    return "%s: %s" % (path, ", ".join(parts))
