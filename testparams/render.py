"""Text and JSON forms of parameter values."""
import datetime
import math

TABLE_COLUMNS = ("Name", "Value", "Low", "Up", "Unit", "Type", "Description")


def display(value):
    """A value as one line of text: empty for None, repr for bytes."""
    if value is None:
        return ""
    if isinstance(value, bytes):
        return repr(value)
    if isinstance(value, datetime.datetime):
        return value.isoformat(" ")
    if isinstance(value, float):
        return repr(value)
    text = value if isinstance(value, str) else str(value)
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


def table_row(para):
    return (para.name, para.value, para.low, para.up, para.unit, para.type, para.desc)


def format_table(rows, columns=TABLE_COLUMNS):
    """Columns padded to their widest cell; the last column is not padded."""
    cells = [list(columns)] + [[display(cell) for cell in row] for row in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(columns))]
    rule = ["-" * width for width in widths]
    lines = []
    for line in [cells[0], rule] + cells[1:]:
        padded = [text.ljust(widths[i]) for i, text in enumerate(line[:-1])] + [line[-1]]
        lines.append("  ".join(padded).rstrip())
    return "\n".join(lines)


def to_json(value):
    """A JSON-friendly form: bytes as UTF-8 text, dates in ISO form,
    non-finite floats as text, unknown objects as their repr."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
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
    return repr(value)


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
