"""Text and JSON forms of parameter values, tables and colour."""
import datetime
import math
import os
import sys
import unicodedata

TABLE_COLUMNS = ("Name", "Value", "Low", "Up", "Unit", "Type", "Description")
# Cells of a table longer than this (in terminal columns) are shortened.
CELL_WIDTH = 40
ELLIPSIS = "..."


def display(value):
    """A value as one line of text: empty for None, repr for bytes."""
    if value is None:
        return ""
    if isinstance(value, bytes):
        return repr(value)
    if isinstance(value, datetime.datetime):
        return value.isoformat(" ")
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, int) and value.bit_length() > 3000:
        return "<integer of about %d digits>" % int(value.bit_length() * 0.30103)
    if isinstance(value, float):
        return repr(value)
    try:
        text = value if isinstance(value, str) else str(value)
    except Exception:
        text = "<%s>" % type(value).__name__
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


def quoted(value):
    """Texts quoted so that blanks show (diff); other values as display()."""
    if isinstance(value, str):
        return repr(value)
    return "(empty)" if value is None else display(value)


def char_width(char):
    if unicodedata.combining(char):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def width(text):
    """Columns that ``text`` takes on a terminal (wide characters count two)."""
    if text.isascii() if hasattr(text, "isascii") else all(ord(c) < 128 for c in text):
        return len(text)
    return sum(char_width(char) for char in text)


def shorten(text, limit=CELL_WIDTH):
    if width(text) <= limit:
        return text
    out, used = [], 0
    for char in text:
        w = char_width(char)
        if used + w > limit - len(ELLIPSIS):
            break
        out.append(char)
        used += w
    return "".join(out) + ELLIPSIS


def pad(text, columns):
    return text + " " * (columns - width(text))


def table_row(para):
    return (para.name, para.value, para.low, para.up, para.unit, para.type, para.desc)


def format_table(rows, columns=TABLE_COLUMNS, limit=CELL_WIDTH):
    """Columns padded to their widest cell by display width, cells over
    ``limit`` columns shortened; the last column is not padded."""
    cells = [list(columns)] + [[shorten(display(cell), limit) for cell in row] for row in rows]
    widths = [max(width(line[i]) for line in cells) for i in range(len(columns))]
    rule = ["-" * w for w in widths]
    lines = []
    for line in [cells[0], rule] + cells[1:]:
        padded = [pad(text, widths[i]) for i, text in enumerate(line[:-1])] + [line[-1]]
        lines.append("  ".join(padded).rstrip())
    return "\n".join(lines)


def to_json(value):
    """A JSON-friendly form: bytes as UTF-8 text, dates in ISO form,
    non-finite floats and over-long integers as text, unknown objects as their repr."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return value if value.bit_length() <= 3000 else display(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, bytes):
        return value.decode("utf-8", "backslashreplace")
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (list, tuple)):
        return [to_json(item) for item in value]
    if isinstance(value, dict):
        return dict((str(key), to_json(item)) for key, item in value.items())
    try:
        return repr(value)
    except Exception:
        return "<%s>" % type(value).__name__


def parameter_json(para):
    return {
        "name": to_json(para.name),
        "value": to_json(para.value),
        "low": to_json(para.low),
        "up": to_json(para.up),
        "unit": to_json(para.unit),
        "type": to_json(para.type),
        "description": to_json(para.desc),
    }


class Colour(object):
    """ANSI colour for a terminal; none for a pipe or file, or with NO_COLOR
    set (to anything, the empty text included)."""

    CODES = {"location": "1", "error": "31", "removed": "31", "added": "32", "changed": "33",
             "ok": "32"}

    def __init__(self, stream=None):
        stream = sys.stdout if stream is None else stream
        isatty = getattr(stream, "isatty", None)
        self.enabled = "NO_COLOR" not in os.environ and bool(isatty and isatty())

    def __call__(self, kind, text):
        if not self.enabled or not text:
            return text
        return "\033[%sm%s\033[0m" % (self.CODES[kind], text)
