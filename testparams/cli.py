"""``testparams``: show, query, change, check, create and compare parameter workbooks.

Entry point: ``main(argv=None)``, which returns the exit status.  This module
holds the command line; the commands themselves are in commands.py.
"""
import argparse
import os
import sys
import traceback
import warnings

from testparams import commands
from testparams.errors import EXIT_ERROR, EXIT_OK, CliError, describe_exception
from testparams.loading import import_api

PROG = "testparams"

DESCRIPTION = """\
Show, query, change, check, create and compare test parameter workbooks
(.xlsx, .xlsm).

A parameter sheet holds a header row and then one parameter per row, in the
columns Description, Value, Low, Up, Unit, Name, Type. The first row whose
Name cell is empty ends the table.

Workbooks are opened as with support_eval=False: "int" cells may hold literal
arithmetic only and "eval" cells are refused, so no command runs code from a
workbook. --eval evaluates them; give it only for workbooks you trust.
"""

EPILOG = """\
exit status: 0 success; 1 check found problems or diff found differences;
2 bad input (missing or unreadable file, unknown sheet or parameter, a value
that does not convert).

examples:
  testparams show parameters.xlsx Supply
  testparams get parameters.xlsx VDD --limits
  testparams set parameters.xlsx VDD 3.35
  testparams check parameters.xlsx other.xlsx station_folder/
  testparams new limits.xlsx Supply Timing
  testparams diff old.xlsx new.xlsx --json

Run "testparams COMMAND --help" for the options of a command.
"""


def version():
    try:
        from importlib import metadata
    except ImportError:  # Python 3.6 and 3.7
        metadata = None
    try:
        if metadata is not None:
            return metadata.version("orv_testparameters")
        import pkg_resources
        return pkg_resources.get_distribution("orv_testparameters").version
    except Exception:
        return "unknown"


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--eval", dest="support_eval", action="store_true",
                        help='open workbooks with support_eval=True: "int" and "eval" cells '
                             'are evaluated as Python, which runs whatever code they hold '
                             '(only for workbooks you trust)')
    common.add_argument("--no-eval", dest="no_eval", action="store_true",
                        help=argparse.SUPPRESS)  # the default now; kept for old scripts
    common.add_argument("--json", action="store_true",
                        help="print one JSON document instead of text")
    common.add_argument("--debug", action="store_true",
                        help="print the full traceback of an error")

    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%s %s" % (PROG, version()))
    subcommands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def command(name, help_text, description, epilog=None):
        return subcommands.add_parser(
            name, parents=[common], help=help_text, description=description, epilog=epilog,
            formatter_class=argparse.RawDescriptionHelpFormatter)

    show = command(
        "show", "print the parameters of sheets as a table",
        "Print the parameters of the named sheets (all sheets when none is named) as an\n"
        "aligned table per sheet: Name, Value, Low, Up, Unit, Type, Description.\n"
        "Values are shown as loading converts them; empty cells show as nothing, long\n"
        "ones are shortened (--json gives them whole).",
        "example:\n  testparams show parameters.xlsx Supply Timing\n"
        "  testparams show parameters.xlsx --json\n\n"
        "--json prints {book, sheets: [{name, parameters: [{name, value, low, up, unit,\n"
        "type, description}]}]}; bytes are printed as text, dates in ISO form.")
    show.add_argument("book", metavar="BOOK", help="the workbook file")
    show.add_argument("sheets", metavar="SHEET", nargs="*", help="sheets to show")
    show.set_defaults(run=commands.run_show)

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
    get.set_defaults(run=commands.run_get)

    setp = command(
        "set", "change the value of one parameter and save",
        "Convert VALUE by the parameter's variable type exactly as loading converts a\n"
        "cell, set it and save the workbook; only that cell changes. A name that several\n"
        "sheets hold needs --sheet. With --output BOOK is copied to NEWBOOK and the\n"
        "change saved into the copy; BOOK is not changed.\n"
        "An empty VALUE ('') empties the cell; for type \"auto\" VALUE is stored as text.\n"
        "A value outside the parameter's limits is saved, with a warning on stderr.\n\n"
        "set refuses (unless --force) a VALUE that a \"bool\" or \"int\" row would read\n"
        "as something else than written (ON, 4.5), a name repeated in the sheet, a\n"
        "formula in the cell, and a save that would drop what openpyxl cannot keep.",
        "examples:\n  testparams set parameters.xlsx VDD 3.35\n"
        "  testparams set parameters.xlsx retries 5 --sheet Timing --output station2.xlsx")
    setp.add_argument("book", metavar="BOOK", help="the workbook file")
    setp.add_argument("name", metavar="NAME", help="parameter name")
    setp.add_argument("value", metavar="VALUE", help="new value, as it would stand in the cell")
    setp.add_argument("--sheet", metavar="SHEET", help="the sheet that holds NAME")
    setp.add_argument("--output", metavar="NEWBOOK",
                      help="write the whole workbook with the change to this file instead")
    setp.add_argument("--relative", action="store_true",
                      help="the limits are offsets from the value, for the warning of a "
                           "value outside them")
    setp.add_argument("--force", action="store_true",
                      help="save despite what set would otherwise refuse")
    setp.set_defaults(run=commands.run_set)

    check = command(
        "check", "report problems in parameter sheets",
        "Check every sheet (or those chosen with --sheet) of each workbook named; a\n"
        "folder is searched for .xlsx and .xlsm files. One line per finding, located\n"
        "as a spreadsheet program writes it and naming the parameter:\n"
        "  book.xlsx:Supply!B6: VDD_X2: value 6.6 is above its upper limit 3.8\n"
        "Found: cells that do not load, \"eval\" cells not evaluated (without --eval),\n"
        "error cells (#DIV/0!) in Value, Low or Up, \"bool\" texts that are no usual word,\n"
        "\"int\" cells that are cut (4.5 reads as 4), values outside their limits, low\n"
        "above up, unknown types, repeated names, names with blanks, names several\n"
        "sheets hold, rows below an empty Name cell, formulas without a stored result,\n"
        "merged cells in the table, a header that differs, sheets that are no\n"
        "parameter sheet, and what a save would drop (found by saving a copy, for\n"
        "workbooks holding parts that openpyxl may not keep).",
        "exit status: 0 no problems, 1 problems found, 2 a file cannot be read (the\n"
        "other workbooks are still checked).\n\n"
        "examples:\n  testparams check parameters.xlsx\n"
        "  testparams check parameters.xlsx --sheet Timing --relative\n"
        "  testparams check station_folder/ --json")
    check.add_argument("paths", metavar="PATH", nargs="+", help="workbooks and folders")
    check.add_argument("--sheet", dest="sheets", metavar="SHEET", action="append", default=[],
                       help="check this sheet (again for more); all sheets when not given")
    check.add_argument("--relative", action="store_true",
                       help="limits are offsets from the value (value + low, value + up)")
    check.set_defaults(run=commands.run_check)

    new = command(
        "new", "create a workbook with empty parameter sheets",
        "Create BOOK (.xlsx) with one sheet per SHEET, each holding the header row\n"
        "Description, Value, Low, Up, Unit, Name, Type.",
        "example:\n  testparams new limits.xlsx Supply Timing Station")
    new.add_argument("book", metavar="BOOK", help="the workbook file to create")
    new.add_argument("sheets", metavar="SHEET", nargs="+", help="sheet titles")
    new.add_argument("--force", action="store_true", help="replace BOOK if it exists")
    new.set_defaults(run=commands.run_new)

    diff = command(
        "diff", "compare the parameters of two workbooks",
        "List parameters added, removed and changed (value, limits, unit, type,\n"
        "description) between OLD and NEW, sheet by sheet (all sheets of both\n"
        "workbooks when none is named). Texts are quoted, so that blanks show.",
        "exit status: 0 no differences, 1 differences, 2 bad input.\n\n"
        "example:\n  testparams diff parameters_v1.xlsx parameters_v2.xlsx Supply")
    diff.add_argument("old", metavar="OLD", help="the older workbook")
    diff.add_argument("new", metavar="NEW", help="the newer workbook")
    diff.add_argument("sheets", metavar="SHEET", nargs="*", help="sheets to compare")
    diff.set_defaults(run=commands.run_diff)
    return parser, subcommands.choices


def parse(parser, subparsers, argv):
    """Parse the command line; options may follow the positional arguments.

    argparse cannot intermix options and positionals below subparsers, so the
    command's own parser parses the rest of the line.
    """
    if not argv or argv[0].startswith("-"):
        parser.parse_args(argv)  # --help, --version, or an error for an unknown option
        return None
    command = argv[0]
    if command not in subparsers:
        parser.parse_args(argv)  # prints "invalid choice" and exits
    sub = subparsers[command]
    intermixed = getattr(sub, "parse_intermixed_args", None)  # Python 3.7+
    args = intermixed(argv[1:]) if intermixed is not None else sub.parse_args(argv[1:])
    args.command = command
    return args


# openpyxl's own warnings name no file and are said better by check.
OPENPYXL_WARNINGS = r"openpyxl(\.|$)"


def main(argv=None):
    warnings.filterwarnings("ignore", category=UserWarning, module=OPENPYXL_WARNINGS)
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
