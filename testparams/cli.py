"""``testparams``: show, query, change, check, create and compare parameter workbooks.

Entry point: ``main(argv=None)``, which returns the exit status.
"""
import argparse
import json
import os
import sys
import tempfile
import traceback

from testparams.checks import check_sheet
from testparams.errors import (EXIT_ERROR, EXIT_FOUND, EXIT_OK, CliError, describe_exception,
                               location)
from testparams.loading import import_api, load_sheets, sheet_holding, sheet_tables
from testparams.render import display, format_table, parameter_json, table_row
from testparams.sheets import HEADER, NAME_COL, RawBook, is_blank

PROG = "testparams"

DESCRIPTION = """\
Show, query, change, check, create and compare test parameter workbooks (.xlsx).

A parameter sheet holds a header row and then one parameter per row, in the
columns Description, Value, Low, Up, Unit, Name, Type. The first row whose
Name cell is empty ends the table.
"""

EPILOG = """\
exit status: 0 success; 1 check found problems or diff found differences;
2 bad input (missing or unreadable file, unknown sheet or parameter, a value
that does not convert).

examples:
  testparams show parameters.xlsx Supply
  testparams get parameters.xlsx VDD --limits
  testparams set parameters.xlsx VDD 3.35
  testparams check parameters.xlsx --no-eval
  testparams new limits.xlsx Supply Timing
  testparams diff old.xlsx new.xlsx

Run "testparams COMMAND --help" for the options of a command.
"""


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--no-eval", dest="support_eval", action="store_false",
                        help='open the workbook with support_eval=False: "eval" cells are '
                             'refused and "int" cells may hold literal arithmetic only (use '
                             'this for workbooks from elsewhere)')
    common.add_argument("--debug", action="store_true",
                        help="print the full traceback of an error")

    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def command(name, help_text, description, epilog=None):
        return commands.add_parser(
            name, parents=[common], help=help_text, description=description, epilog=epilog,
            formatter_class=argparse.RawDescriptionHelpFormatter)

    show = command(
        "show", "print the parameters of sheets as a table",
        "Print the parameters of the named sheets (all sheets when none is named) as an\n"
        "aligned table per sheet: Name, Value, Low, Up, Unit, Type, Description.\n"
        "Values are shown as loading converts them; empty cells show as nothing.",
        "example:\n  testparams show parameters.xlsx Supply Timing\n"
        "  testparams show parameters.xlsx --json")
    show.add_argument("book", metavar="BOOK", help="the workbook file")
    show.add_argument("sheets", metavar="SHEET", nargs="*", help="sheets to show")
    show.add_argument("--json", action="store_true",
                      help="print JSON instead: {book, sheets: [{name, parameters: [{name, "
                           "value, low, up, unit, type, description}]}]}; bytes are printed as "
                           "text, dates in ISO form")
    show.set_defaults(run=run_show)

    get = command(
        "get", "print the value (and limits) of one parameter",
        "Print the value of parameter NAME. Without --sheet all sheets are loaded in\n"
        "workbook order and the last sheet that holds NAME wins, as BookParameters\n"
        "searches.",
        "examples:\n  testparams get parameters.xlsx VDD\n"
        "  testparams get parameters.xlsx clk_period --sheet Timing --limits --relative")
    get.add_argument("book", metavar="BOOK", help="the workbook file")
    get.add_argument("name", metavar="NAME", help="parameter name")
    get.add_argument("--sheet", metavar="SHEET", help="look in this sheet only")
    get.add_argument("--limits", action="store_true",
                     help='print three lines: "value V", "low L", "up U"')
    get.add_argument("--relative", action="store_true",
                     help="limits in relative mode: value + low and value + up "
                          "(implies --limits)")
    get.set_defaults(run=run_get)

    setp = command(
        "set", "change the value of one parameter and save",
        "Convert VALUE by the parameter's variable type exactly as loading converts a\n"
        "cell, set it and save the workbook. Without --output only the sheet that\n"
        "holds NAME is rewritten; other sheets stay as they are. With --output the\n"
        "parameter tables of all sheets are written to NEWBOOK and BOOK is not changed.\n"
        "An empty VALUE ('') empties the cell; for type \"auto\" VALUE is stored as text.\n\n"
        "Saving rewrites the sheet's table from what loading read. set refuses (unless\n"
        "--force) when that would change more than the one value: a name repeated in\n"
        "the sheet, rows below the table that saving would empty, or formulas in the\n"
        "table (saving writes their values).",
        "examples:\n  testparams set parameters.xlsx VDD 3.35\n"
        "  testparams set parameters.xlsx retries 5 --sheet Timing --output station2.xlsx")
    setp.add_argument("book", metavar="BOOK", help="the workbook file")
    setp.add_argument("name", metavar="NAME", help="parameter name")
    setp.add_argument("value", metavar="VALUE", help="new value, as it would stand in the cell")
    setp.add_argument("--sheet", metavar="SHEET", help="the sheet that holds NAME")
    setp.add_argument("--output", metavar="NEWBOOK",
                      help="write to this file with save_as instead of saving BOOK")
    setp.add_argument("--force", action="store_true",
                      help="save even when saving changes more of the sheet than the value")
    setp.set_defaults(run=run_set)

    check = command(
        "check", "report problems in parameter sheets",
        "Load every named sheet (all sheets when none is named) and report, each with\n"
        "sheet, row and column: rows that fail to load (with the module's error\n"
        "message), names repeated in a sheet, names with leading or trailing blanks,\n"
        "parameter rows below an empty Name row that loading never reaches, numeric\n"
        "values outside their own limits, low above up, unknown variable types,\n"
        "formulas without a stored result, a header row that differs from the layout,\n"
        'and with --no-eval "eval" cells.',
        "exit status: 0 no problems, 1 problems found, 2 the file cannot be read.\n\n"
        "examples:\n  testparams check parameters.xlsx\n"
        "  testparams check parameters.xlsx Timing --relative\n"
        "  testparams check from_supplier.xlsx --no-eval")
    check.add_argument("book", metavar="BOOK", help="the workbook file")
    check.add_argument("sheets", metavar="SHEET", nargs="*", help="sheets to check")
    check.add_argument("--relative", action="store_true",
                       help="limits are offsets from the value (value + low, value + up)")
    check.set_defaults(run=run_check)

    new = command(
        "new", "create a workbook with empty parameter sheets",
        "Create BOOK with one sheet per SHEET, each holding the header row\n"
        "Description, Value, Low, Up, Unit, Name, Type.",
        "example:\n  testparams new limits.xlsx Supply Timing Station")
    new.add_argument("book", metavar="BOOK", help="the workbook file to create")
    new.add_argument("sheets", metavar="SHEET", nargs="+", help="sheet titles")
    new.add_argument("--force", action="store_true", help="replace BOOK if it exists")
    new.set_defaults(run=run_new)

    diff = command(
        "diff", "compare the parameters of two workbooks",
        "List parameters added, removed and changed (value, limits, unit, type,\n"
        "description) between OLD and NEW, sheet by sheet (all sheets of both\n"
        "workbooks when none is named).",
        "exit status: 0 no differences, 1 differences, 2 bad input.\n\n"
        "example:\n  testparams diff parameters_v1.xlsx parameters_v2.xlsx Supply")
    diff.add_argument("old", metavar="OLD", help="the older workbook")
    diff.add_argument("new", metavar="NEW", help="the newer workbook")
    diff.add_argument("sheets", metavar="SHEET", nargs="*", help="sheets to compare")
    diff.set_defaults(run=run_diff)
    return parser, commands.choices


def parse(parser, subparsers, argv):
    """Parse the command line; options may follow the positional arguments.

    argparse cannot intermix options and positionals below subparsers, so the
    command's own parser parses the rest of the line.
    """
    if not argv or argv[0].startswith("-"):
        parser.parse_args(argv)  # --help, or an error for an unknown option
        return None
    command = argv[0]
    if command not in subparsers:
        parser.parse_args(argv)  # prints "invalid choice" and exits
    sub = subparsers[command]
    intermixed = getattr(sub, "parse_intermixed_args", None)  # Python 3.7+
    args = intermixed(argv[1:]) if intermixed is not None else sub.parse_args(argv[1:])
    args.command = command
    return args


def main(argv=None):
    parser, subparsers = build_parser()
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        args = parse(parser, subparsers, argv)
    except SystemExit as exc:  # --help, or a usage error already printed
        return exc.code if isinstance(exc.code, int) else EXIT_ERROR
    if args is None:
        parser.print_usage(sys.stderr)
        print("%s: error: a command is required (show, get, set, check, new, diff)" % PROG,
              file=sys.stderr)
        return EXIT_ERROR
    try:
        return args.run(args, import_api())
    except CliError as exc:
        if args.debug:
            traceback.print_exc()
        print("%s: error: %s" % (PROG, exc.message), file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. "| head"); do not complain on exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    except Exception as exc:
        if args.debug:
            traceback.print_exc()
        print("%s: error: %s" % (PROG, describe_exception(exc)), file=sys.stderr)
        return EXIT_ERROR


# -- show ---------------------------------------------------------------------

def run_show(args, api):
    with RawBook(args.book) as raw:
        book = load_sheets(api, raw, raw.select_sheets(args.sheets), args.support_eval)
    tables = sheet_tables(book)
    if args.json:
        doc = {"book": args.book, "sheets": [
            {"name": name,
             "parameters": [parameter_json(table.get_parameter(p)) for p in table.parameter_names]}
            for name, table in tables]}
        print(json.dumps(doc, indent=2, ensure_ascii=False))
        return EXIT_OK
    blocks = []
    for name, table in tables:
        names = table.parameter_names
        title = 'sheet "%s": %d parameter%s' % (name, len(names), "" if len(names) == 1 else "s")
        if names:
            body = format_table([table_row(table.get_parameter(p)) for p in names])
            blocks.append(title + "\n" + body)
        else:
            blocks.append(title)
    print("\n\n".join(blocks))
    return EXIT_OK


# -- get ----------------------------------------------------------------------

def find_parameter(api, book, path, name, sheet):
    if sheet is not None:
        para = book.get_parameter_from_sheet(name, sheet, False)
        if para is None:
            raise CliError('%s: no parameter named "%s"' % (location(path, sheet), name))
        return para
    para = book.get_parameter(name, False)
    if para is None:
        raise CliError('%s: no parameter named "%s" in any sheet' % (path, name))
    return para


def run_get(args, api):
    with RawBook(args.book) as raw:
        sheets = raw.select_sheets([args.sheet] if args.sheet is not None else [])
        book = load_sheets(api, raw, sheets, args.support_eval)
    para = find_parameter(api, book, args.book, args.name, args.sheet)
    if not (args.limits or args.relative):
        print(display(para.value))
        return EXIT_OK
    mode = api.BookParameters.LIMIT_MODE_RELATIVE if args.relative \
        else api.BookParameters.LIMIT_MODE_ABSOLUTE
    lines = [("value", para.value)]
    for label, stored, getter in (("low", para.low, book.get_low), ("up", para.up, book.get_up)):
        if stored is None:
            lines.append((label, None))
            continue
        try:
            lines.append((label, getter(args.name, None, mode)))
        except Exception as exc:
            raise CliError('%s: cannot compute the relative %s limit of "%s" (value %s, %s %s): '
                           '%s' % (args.book, label, args.name, display(para.value), label,
                                   display(stored), describe_exception(exc)))
    for label, value in lines:
        print(("%-5s %s" % (label, display(value))).rstrip())
    return EXIT_OK


# -- set ----------------------------------------------------------------------

def refuse_lossy_save(raw, sheetname):
    """Stop when saving the sheet's table would change more than the one value.

    Saving writes one row per loaded name from row 2 on, then empties the old
    rows below them down to the last row still named like a loaded parameter
    (so that a later load does not read them again), and writes values where
    the table held formulas.
    """
    layout = raw.layout(sheetname)
    where = lambda row, col=None: location(raw.path, sheetname, row, col)  # noqa: E731
    for row, first in layout.repeated_names():
        raise CliError('%s: name "%s" repeats row %d; saving writes one row per name and '
                       'empties the others (see testparams check; --force saves anyway)'
                       % (where(row.row, NAME_COL), row.cells[NAME_COL - 1], first))
    names = [row.cells[NAME_COL - 1] for row in layout.reachable]
    rows = raw.rows(sheetname)
    first = len(names) + 2
    last = None
    for row in rows[first - 1:]:
        name = row.cells[NAME_COL - 1]
        if name is not None and (name in names or str(name).strip() in names):
            last = row.row
    for row in rows[first - 1:last or 0]:
        if not all(is_blank(cell) for cell in row.cells):
            raise CliError('%s: saving would empty rows %d to %d, down to row %d named "%s" like '
                           'a loaded parameter, and this row holds cells (see testparams check; '
                           '--force saves anyway)'
                           % (where(row.row), first, last, last,
                              rows[last - 1].cells[NAME_COL - 1]))
    formulas = raw.formulas(sheetname, [row.row for row in layout.reachable])
    for (rownum, col), text in sorted(formulas.items()):
        raise CliError('%s: formula %s would be replaced by its value on saving (--force saves '
                       'anyway)' % (where(rownum, col), text))


def convert_value(table, para, text, path, sheetname):
    try:
        return table._parse_value(text, para.type)
    except Exception as exc:
        raise CliError('%s: VALUE %r does not convert to the type "%s" of "%s": %s'
                       % (location(path, sheetname), text, para.type, para.name,
                          describe_exception(exc)))


def run_set(args, api):
    with RawBook(args.book) as raw:
        if args.output is None and args.sheet is not None:
            load = raw.select_sheets([args.sheet])
        else:
            raw.select_sheets([args.sheet] if args.sheet is not None else [])
            load = raw.sheetnames
        book = load_sheets(api, raw, load, args.support_eval)
        para = find_parameter(api, book, args.book, args.name, args.sheet)
        sheetname = args.sheet if args.sheet is not None else sheet_holding(book, args.name)
        if args.output is None:
            written = [sheetname]
            for other in book.get_all_sheet_names():
                if other != sheetname:
                    book.unload_sheet(other)
        else:
            written = book.get_all_sheet_names()
        if not args.force:
            for name in written:
                refuse_lossy_save(raw, name)
    table = book.get_sheet_parameters(sheetname)
    old = para.value
    new = convert_value(table, para, args.value, args.book, sheetname)
    table.set_value(args.name, new)
    target = args.book if args.output is None else args.output
    try:
        if args.output is None:
            book.save()
        else:
            book.save_as(args.output)
    except Exception as exc:
        raise CliError("%s: cannot save: %s" % (target, describe_exception(exc)))
    print('%s: %s = %s (was %s)%s'
          % (location(args.book, sheetname), args.name, shown(new), shown(old),
             "" if args.output is None else ", written to %s" % args.output))
    return EXIT_OK


def shown(value):
    return "(empty)" if value is None else display(value)


# -- check --------------------------------------------------------------------

def run_check(args, api):
    findings = []
    with RawBook(args.book) as raw:
        for sheetname in raw.select_sheets(args.sheets):
            findings.extend(check_sheet(api, raw, sheetname, args.support_eval, args.relative))
    for finding in findings:
        print("%s: %s" % (location(args.book, finding.sheet, finding.row, finding.col),
                          finding.message))
    if not findings:
        print("%s: no problems found" % args.book)
        return EXIT_OK
    print("%s: %d problem%s found" % (args.book, len(findings), "" if len(findings) == 1 else "s"))
    return EXIT_FOUND


# -- new ----------------------------------------------------------------------

INVALID_TITLE_CHARS = set("[]:*?/\\")


def validate_titles(path, titles):
    seen = set()
    for title in titles:
        problem = None
        if not title.strip():
            problem = "is empty"
        elif len(title) > 31:
            problem = "is longer than 31 characters"
        elif INVALID_TITLE_CHARS & set(title):
            problem = "contains one of the characters [ ] : * ? / \\"
        elif title.lower() in seen:
            problem = "is given twice (sheet titles ignore case)"
        if problem:
            raise CliError('%s: sheet title "%s" %s' % (path, title, problem))
        seen.add(title.lower())


def save_atomically(book, path):
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".testparams-", suffix=".xlsx", dir=directory)
    os.close(fd)
    try:
        book.save(tmp)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def run_new(args, api):
    if os.path.exists(args.book) and not args.force:
        raise CliError("%s: file exists (--force replaces it)" % args.book)
    if os.path.isdir(args.book):
        raise CliError("%s: is a directory" % args.book)
    validate_titles(args.book, args.sheets)
    book = api.Workbook()
    book.remove(book.active)
    for title in args.sheets:
        table = api.SheetParameters(args.support_eval)
        table.sheet_rename(title)
        table.save(book)  # a new worksheet receives the header row
    try:
        save_atomically(book, args.book)
    except OSError as exc:
        raise CliError("%s: cannot write: %s" % (args.book, describe_exception(exc)))
    print("%s: created with sheet%s %s (header: %s)"
          % (args.book, "" if len(args.sheets) == 1 else "s",
             ", ".join('"%s"' % s for s in args.sheets), ", ".join(HEADER)))
    return EXIT_OK


# -- diff ---------------------------------------------------------------------

DIFF_FIELDS = (("value", "value"), ("low", "low"), ("up", "up"), ("unit", "unit"),
               ("type", "type"), ("description", "desc"))


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and a != a and b != b:  # both NaN
        return True
    try:
        return bool(a == b)
    except Exception:
        return a is b


def changed_fields(old, new):
    changes = []
    for label, attr in DIFF_FIELDS:
        a, b = getattr(old, attr), getattr(new, attr)
        if not same(a, b):
            sa, sb = shown(a), shown(b)
            if sa == sb:  # e.g. the text "5" and the number 5
                sa, sb = repr(a), repr(b)
            changes.append("%s %s -> %s" % (label, sa, sb))
    return changes


def diff_sheet(name, old_table, new_table):
    lines = []
    old_names = old_table.parameter_names
    new_names = new_table.parameter_names
    prefix = 'sheet "%s": ' % name
    for pname in old_names:
        if not new_table.has_parameter(pname):
            lines.append(prefix + "removed %s (value %s)"
                         % (pname, shown(old_table.get_parameter(pname).value)))
    for pname in new_names:
        if not old_table.has_parameter(pname):
            lines.append(prefix + "added %s (value %s)"
                         % (pname, shown(new_table.get_parameter(pname).value)))
    for pname in new_names:
        if old_table.has_parameter(pname):
            changes = changed_fields(old_table.get_parameter(pname),
                                     new_table.get_parameter(pname))
            if changes:
                lines.append(prefix + "changed %s: %s" % (pname, ", ".join(changes)))
    return lines


def run_diff(args, api):
    with RawBook(args.old) as raw_old, RawBook(args.new) as raw_new:
        if args.sheets:
            for sheet in args.sheets:
                if sheet not in raw_old.sheetnames and sheet not in raw_new.sheetnames:
                    raise CliError('no sheet named "%s" in %s (sheets: %s) or %s (sheets: %s)'
                                   % (sheet, args.old, ", ".join(raw_old.sheetnames),
                                      args.new, ", ".join(raw_new.sheetnames)))
            wanted = list(dict.fromkeys(args.sheets))
        else:
            wanted = list(dict.fromkeys(raw_old.sheetnames + raw_new.sheetnames))
        old_book = load_sheets(api, raw_old, [s for s in wanted if s in raw_old.sheetnames],
                               args.support_eval)
        new_book = load_sheets(api, raw_new, [s for s in wanted if s in raw_new.sheetnames],
                               args.support_eval)
    lines = []
    for sheet in wanted:
        old_table = old_book.get_sheet_parameters(sheet, False)
        new_table = new_book.get_sheet_parameters(sheet, False)
        if old_table is None or new_table is None:
            present = args.new if old_table is None else args.old
            lines.append('sheet "%s": only in %s' % (sheet, present))
            empty = api.SheetParameters()
            lines.extend(diff_sheet(sheet, empty if old_table is None else old_table,
                                    empty if new_table is None else new_table))
        else:
            lines.extend(diff_sheet(sheet, old_table, new_table))
    if not lines:
        print("no differences")
        return EXIT_OK
    print("--- %s\n+++ %s" % (args.old, args.new))
    print("\n".join(lines))
    return EXIT_FOUND
