"""Problems that ``testparams check`` looks for in a parameter sheet."""
import collections
import numbers

from testparams.errors import describe_exception
from testparams.sheets import (HEADER, KNOWN_TYPES, NAME_COL, TYPE_COL, VALUE_COLS, convert_row,
                               is_blank, normalised_type)

# row and col are None when a problem belongs to the whole sheet.
Finding = collections.namedtuple("Finding", "sheet row col message")


def is_number(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def check_sheet(api, raw, sheetname, support_eval, relative):
    """Every problem found in one sheet, ordered by row and column."""
    layout = raw.layout(sheetname)
    findings = []

    def report(row, col, message):
        findings.append(Finding(sheetname, row, col, message))

    check_header(layout, report)

    table = api.SheetParameters(support_eval)
    last_row = {}          # name -> row whose record loading keeps
    failed = False
    refused = False
    for row in layout.reachable:
        name = row.cells[NAME_COL - 1]
        type_cell = row.cells[TYPE_COL - 1]
        if isinstance(name, str) and name != name.strip():
            report(row.row, NAME_COL, 'name "%s" has leading or trailing blanks' % name)
        vtype = normalised_type(type_cell)
        if not support_eval and vtype == "eval":
            cells = [col for col in VALUE_COLS if not is_blank(row.cells[col - 1])]
            for col in cells:
                report(row.row, col, '"eval" cell refused with --no-eval: %s'
                       % refusal_message(table, row.cells[col - 1], type_cell))
            if cells:
                refused = True
                continue
        failure = convert_row(api, table, row)
        if failure is not None:
            failed = True
            report(failure.row, failure.col,
                   "row fails to load: %s" % describe_exception(failure.error))
            continue
        last_row[name] = row.row
        if isinstance(vtype, str) and vtype not in KNOWN_TYPES:
            report(row.row, TYPE_COL, 'unknown variable type "%s": loading fails once a '
                   'Value, Low or Up cell is filled' % type_cell)

    for row, first in layout.repeated_names():
        report(row.row, NAME_COL, 'name "%s" repeats row %d; loading keeps the record of '
               'the last such row' % (row.cells[NAME_COL - 1], first))

    for row in layout.unreachable:
        report(row.row, NAME_COL, 'parameter "%s" is never loaded: the empty Name cell in '
               'row %d ends the table' % (row.cells[NAME_COL - 1], layout.end_row))

    check_formulas(raw, sheetname, layout, report)

    if not failed and not refused:
        # Loading through the module must agree with the row-by-row replay.
        book = api.BookParameters(raw.path, support_eval)
        try:
            table = book.load_sheet(sheetname)
        except Exception as exc:
            report(None, None, "sheet fails to load: %s" % describe_exception(exc))

    for name, rownum in last_row.items():
        para = table.get_parameter(name, False)
        if para is not None:
            check_limits(para, rownum, relative, report)

    findings.sort(key=lambda f: (f.row or 0, f.col or 0))
    return findings


def refusal_message(table, content, type_cell):
    try:
        table._parse_value(content, type_cell)
    except Exception as exc:
        return describe_exception(exc)
    return "refused"


def check_header(layout, report):
    header = layout.header
    if header is None or all(is_blank(cell) for cell in header.cells):
        return
    for col, (cell, expected) in enumerate(zip(header.cells, HEADER), 1):
        if is_blank(cell):
            report(1, col, 'header cell is empty where "%s" is expected' % expected)
        elif str(cell).strip().lower() != expected.lower():
            report(1, col, 'header reads "%s" where "%s" is expected (columns are read by '
                   'position)' % (cell, expected))


def check_formulas(raw, sheetname, layout, report):
    cached = dict((row.row, row.cells) for row in layout.reachable)
    formulas = raw.formulas(sheetname, list(cached))
    for (rownum, col), text in sorted(formulas.items()):
        if cached[rownum][col - 1] is None:
            report(rownum, col, "formula %s has no stored result; loading reads an empty cell "
                   "(open and save the workbook in a spreadsheet program)" % text)


def check_limits(para, rownum, relative, report):
    value, low, up = para.value, para.low, para.up
    if is_number(low) and is_number(up) and low > up:
        report(rownum, VALUE_COLS[1], "low limit %r is above upper limit %r" % (low, up))
    if not is_number(value):
        return
    # A value outside absolute limits that look like offsets around it is
    # probably meant to be read in relative mode; say so.
    hint = ""
    if not relative and is_number(low) and is_number(up) and low < 0 < up:
        hint = "; read as relative limits (--relative) it is inside them"
    if is_number(low):
        bound = value + low if relative else low
        if value < bound:
            report(rownum, VALUE_COLS[0], "value %r is below its lower limit %r%s%s"
                   % (value, bound, " (value + low)" if relative else "", hint))
            return
    if is_number(up):
        bound = value + up if relative else up
        if value > bound:
            report(rownum, VALUE_COLS[0], "value %r is above its upper limit %r%s%s"
                   % (value, bound, " (value + up)" if relative else "", hint))
