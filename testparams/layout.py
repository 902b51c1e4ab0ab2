"""The layout of a parameter sheet, as ``orv_testparameters`` reads and writes it.

Row 1 holds the header; each row below holds one parameter in the columns
below.  Rows are read from row 2 down to the last row the sheet's data holds;
a row whose Name cell is empty or blank is empty, and the first empty row ends
the table (``max_empty_row`` 0).  This module imports nothing of the package.
"""
import numbers
import re

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")
COLUMN_LETTERS = "ABCDEFG"
DESC_COL, VALUE_COL, LOW_COL, UP_COL, UNIT_COL, NAME_COL, TYPE_COL = range(1, 8)
VALUE_COLS = (VALUE_COL, LOW_COL, UP_COL)

# The type words the module knows, after strip() and lower(); an empty Type
# cell means "str".
KNOWN_TYPES = ("auto", "unicode", "str", "string", "bytes", "int", "float", "bool", "boolean",
               "eval")
BOOL_TYPES = ("bool", "boolean")
# Texts of a "bool" cell that read as what they say.  Loading reads any text
# starting with t, y or 1 as True and everything else as False.
BOOL_WORDS = {"true": True, "yes": True, "y": True, "1": True,
              "false": False, "no": False, "n": False, "0": False}

# What a spreadsheet program shows in a cell whose formula failed.
ERROR_TEXTS = frozenset(("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
                         "#GETTING_DATA", "#SPILL!", "#CALC!", "#FIELD!", "#BLOCKED!",
                         "#CONNECT!", "#BUSY!", "#UNKNOWN!"))


def normalised_type(type_cell):
    """The variable type a Type cell selects; None for a cell that is no text."""
    if type_cell is None:
        return "str"
    if not isinstance(type_cell, str):
        return None
    text = type_cell.strip().lower()
    return text or "str"


def is_blank(content):
    return content is None or str(content).strip() == ""


def is_number(value):
    # type: (object) -> bool
    """A real number, booleans left out."""
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def column_letter(col):
    """A, B, ... Z, AA, ... for a 1-based column number."""
    letters = ""
    while col > 0:
        col, rest = divmod(col - 1, 26)
        letters = chr(65 + rest) + letters
    return letters


def cell_ref(row, col):
    return "%s%d" % (column_letter(col), row)


_PLAIN_TITLE = re.compile(r"[^\W\d]\w*\Z", re.UNICODE)
_LOOKS_LIKE_CELL = re.compile(r"([A-Za-z]{1,3}\d+|[Rr]\d*[Cc]\d*|[Rr]|[Cc])\Z")


def sheet_ref(title):
    """A sheet title as a spreadsheet program writes it before "!": quoted
    unless it is a plain word that cannot be taken for a cell."""
    if _PLAIN_TITLE.match(title) and not _LOOKS_LIKE_CELL.match(title):
        return title
    return "'%s'" % title.replace("'", "''")
