"""Test parameters in pytest: the workbook loaded once per session, limit
checks that fail with one line naming the cell, and a record of every check.

The plugin is registered through the ``pytest11`` entry point and does
nothing until a workbook is configured (``--tp-book PATH`` or ``tp_book`` in
the ini file).  Then:

- ``tp_book`` is the session's ``BookParameters``, its sheets loaded in the
  order given by ``--tp-sheet`` (all sheets in workbook order when none is
  given), so that later sheets override earlier ones;
- ``tp_check(name, measured, mode=None, sheet=None)`` compares a measured
  value with the parameter's limits and fails the test with one line such as
  ``VDD = 3.52 V is above its upper limit 3.465 V (station.xlsx:Supply!D2)``;
- every check goes into the test's ``user_properties`` (JUnit XML carries
  them), into a table at the end of the session, and into ``--tp-report``
  (JSON, or CSV for a name ending in .csv);
- ``@pytest.mark.tp_parameters(sheet, prefix)`` makes one test case per
  parameter of a sheet, passed as ``tp_parameter`` and named by it.

Workbooks are opened as the ``testparams`` command opens them: "eval" cells
are refused unless ``--tp-eval`` is given, and a book or sheet that cannot be
loaded is one usage error naming the file, sheet and cell.
"""
import csv
import decimal
import fractions
import io
import json
import numbers
import os
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

import pytest

from testparams.errors import CliError, describe_exception, location
from testparams.layout import LOW_COL, NAME_COL, UP_COL, is_number
from testparams.render import display, format_table, to_json

if TYPE_CHECKING:  # pragma: no cover
    from _pytest.config import Config
    from _pytest.config.argparsing import Parser
    from _pytest.fixtures import FixtureRequest
    from _pytest.main import Session
    from _pytest.python import Metafunc
    from _pytest.terminal import TerminalReporter

PLUGIN_NAME = "testparams-session"
MARKER = "tp_parameters"
CASE_ARGNAME = "tp_parameter"
NOT_CONFIGURED = "no parameter workbook: give --tp-book PATH or set tp_book in the ini file"
EVAL_HINT = ' (--tp-eval evaluates "eval" cells: only for workbooks you trust)'

ABSOLUTE, RELATIVE = "absolute", "relative"
PASS, FAIL = "pass", "fail"


class Check(NamedTuple):
    """One comparison of a measured value with a parameter's limits.

    ``low`` and ``up`` are the limits compared with (in relative mode the
    value plus the stored offsets); ``location`` is the cell at fault (the
    limit crossed), else the parameter's Name cell; ``message`` is empty for
    a check that passed."""
    test: str
    name: str
    sheet: Optional[str]
    location: str
    measured: Any
    low: Any
    up: Any
    unit: Any
    mode: str
    verdict: str
    message: str


FIELDS = Check._fields


def pytest_addoption(parser: "Parser") -> None:
    group = parser.getgroup("testparams", "test parameters from a workbook")
    group.addoption("--tp-book", metavar="PATH", default=None,
                    help="parameter workbook to load for the session (enables the plugin)")
    group.addoption("--tp-sheet", metavar="NAME", action="append", default=None,
                    help="sheet to load, again for more; later sheets override earlier ones "
                         "(default: all sheets in workbook order)")
    group.addoption("--tp-eval", action="store_true", default=False,
                    help='evaluate "int" and "eval" cells as Python, which runs the code '
                         'they hold (only for workbooks you trust)')
    group.addoption("--tp-relative", action="store_true", default=False,
                    help="limits are offsets from the value (value + low, value + up)")
    group.addoption("--tp-report", metavar="FILE", default=None,
                    help="write every check to FILE as JSON (as CSV when FILE ends in .csv)")
    parser.addini("tp_book", "parameter workbook (relative to the ini file)", default=None)
    parser.addini("tp_sheets", "sheets to load, one a line", type="linelist", default=[])
    parser.addini("tp_eval", 'evaluate "int" and "eval" cells as Python', type="bool",
                  default=False)
    parser.addini("tp_relative", "limits are offsets from the value", type="bool",
                  default=False)
    parser.addini("tp_report", "file for the record of checks (relative to the ini file)",
                  default=None)


def pytest_configure(config: "Config") -> None:
    config.addinivalue_line(
        "markers", "%s(sheet, prefix=''): one test case per parameter of the sheet whose name "
                   "starts with prefix, passed as the %s argument" % (MARKER, CASE_ARGNAME))
    book = config.getoption("tp_book") or config.getini("tp_book")
    if book:
        config.pluginmanager.register(ParameterSession(config), PLUGIN_NAME)


def ini_path(config: "Config", value: str) -> str:
    """An ini file's path relative to the ini file's folder, as written
    where that names the same file."""
    inifile = getattr(config, "inipath", None) or getattr(config, "inifile", None)
    if os.path.isabs(value) or not inifile:
        return value
    resolved = os.path.join(os.path.dirname(str(inifile)), value)
    return value if os.path.abspath(value) == os.path.abspath(resolved) else resolved


def is_nan(value: Any) -> bool:
    try:
        return bool(value != value)
    except ArithmeticError:  # a signalling decimal NaN
        return True


def plain_number(value: Any) -> Any:
    """A measured number as int or float, so that messages and the record
    read 3.52 where its own type would print itself otherwise (numpy's
    float64 prints "np.float64(3.52)"); decimals and fractions stay."""
    if not is_number(value) or type(value) in (int, float) \
            or isinstance(value, (decimal.Decimal, fractions.Fraction)):
        return value
    try:
        return int(value) if isinstance(value, numbers.Integral) else float(value)
    except (ArithmeticError, TypeError, ValueError):
        return value


def typed(value: Any) -> str:
    return "%r (%s)" % (value, type(value).__name__)


def measured_text(value: Any) -> str:
    """Numbers as display() writes them; anything else as its repr, so that
    a text '3.3' is not taken for the number."""
    return display(value) if is_number(value) else repr(value)


def offset_sum(value: Any, offset: Any) -> str:
    """'40.0 + 0.4', '40.0 - 0.4': how a relative limit came about."""
    if offset < 0:
        return "%s - %s" % (display(value), display(-offset))
    return "%s + %s" % (display(value), display(offset))


def with_unit(value: Any, unit: Any) -> str:
    unit_text = display(unit)
    return display(value) + (" " + unit_text if unit_text.strip() else "")


class ParameterSession(object):
    """The plugin once a workbook is configured: the loaded book, the rows
    of its parameters, and the checks made."""

    def __init__(self, config: "Config") -> None:
        self.config = config
        option = config.getoption("tp_book")
        self.path = option if option else ini_path(config, config.getini("tp_book"))
        self.sheets = list(config.getoption("tp_sheet") or config.getini("tp_sheets"))
        self.support_eval = bool(config.getoption("tp_eval") or config.getini("tp_eval"))
        self.relative = bool(config.getoption("tp_relative") or config.getini("tp_relative"))
        report = config.getoption("tp_report")
        if not report and config.getini("tp_report"):
            report = ini_path(config, config.getini("tp_report"))
        self.report = os.path.abspath(report) if report else None
        self.report_shown = report
        self.book = None  # type: Any
        self.api = None   # type: Any
        self.rows = {}    # type: Dict[str, Dict[str, int]]
        self.checks = []  # type: List[Check]
        self.report_error = None  # type: Optional[str]

    # -- loading --------------------------------------------------------------

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionstart(self, session: "Session") -> None:
        try:
            self.load()
        except CliError as exc:
            raise pytest.UsageError(exc.message) from None
        if self.report is not None and (getattr(session.config.option, "numprocesses", None)
                                        or hasattr(session.config, "workerinput")):
            # Checks are kept by the process that runs the test.
            raise pytest.UsageError("--tp-report needs the tests run in one process, not "
                                    "distributed (pytest-xdist -n)")
        if self.report is not None and not os.path.isdir(os.path.dirname(self.report)):
            raise pytest.UsageError("%s: cannot write the parameter report: no folder %s"
                                    % (self.report_shown, os.path.dirname(self.report)))

    def load(self) -> None:
        from testparams.loading import import_api, load_sheets
        from testparams.sheets import RawBook
        api = import_api()
        with RawBook(self.path) as raw:
            self.sheets = raw.select_sheets(self.sheets)
            try:
                self.book = load_sheets(api, raw, self.sheets, self.support_eval,
                                        eval_hint=EVAL_HINT)
            except CliError:
                raise
            except Exception as exc:
                raise CliError("%s: %s" % (self.path, describe_exception(exc)))
            for sheet in self.sheets:
                self.rows[sheet] = raw.layout(sheet).rows_by_name()
        self.api = api

    def pytest_report_header(self, config: "Config") -> str:
        return "parameters: %s, sheets %s (%s limits%s)" % (
            self.path, ", ".join(self.sheets), RELATIVE if self.relative else ABSOLUTE,
            "; eval cells evaluated" if self.support_eval else "")

    # -- checks ---------------------------------------------------------------

    def loaded(self) -> List[str]:
        """The book's sheets as it searches them now (a test may load more)."""
        return list(self.book.get_all_sheet_names())

    def find(self, name: Any, sheet: Optional[str]) -> Tuple[Any, Optional[str], str]:
        """(record or None, its sheet, message when missing)."""
        from testparams.loading import sheet_holding
        loaded = self.loaded()
        if sheet is not None and sheet not in loaded:
            return None, None, 'no sheet "%s" loaded from %s (sheets: %s)' % (
                sheet, self.path, ", ".join(loaded))
        if not isinstance(name, str):
            holder = None
        elif sheet is None:
            holder = sheet_holding(self.book, name)
        else:
            holder = sheet if self.book.get_sheet_parameters(sheet).has_parameter(name) else None
        if holder is not None:
            return self.book.get_sheet_parameters(holder).get_parameter(name), holder, ""
        if sheet is not None:
            return None, sheet, 'no parameter named "%s" in %s' % (
                display(name), location(self.path, sheet))
        return None, None, 'no parameter named "%s" in %s (sheets searched: %s)' % (
            display(name), self.path, ", ".join(reversed(loaded)))

    def sheet_of(self, record: Any) -> Optional[str]:
        """The loaded sheet that holds this very record (records are handed
        out by reference)."""
        for sheetname in reversed(self.loaded()):
            table = self.book.get_sheet_parameters(sheetname)
            if table.has_parameter(record.name) and table.get_parameter(record.name) is record:
                return sheetname
        return None

    def where(self, sheet: Optional[str], name: str, col: int) -> str:
        if sheet is None:
            return str(self.path)
        row = self.rows.get(sheet, {}).get(name)
        return location(self.path, sheet, row, col if row is not None else None)

    def check(self, test: str, name: Any, measured: Any, mode: Any = None,
              sheet: Optional[str] = None) -> Check:
        relative = self.mode(mode)
        measured = plain_number(measured)
        if isinstance(name, self.api.Parameter):
            holder = self.sheet_of(name) if sheet is None else sheet
            name = name.name
            if holder is not None:
                sheet = holder
        record, sheet, missing = self.find(name, sheet)
        mode_text = RELATIVE if relative else ABSOLUTE
        if record is None:
            return Check(test, display(name), sheet, str(self.path), measured, None, None, None,
                         mode_text, FAIL, missing)
        low, up, col, problem = self.limits(record, relative)
        if problem is None:
            col, problem = self.compare(record, measured, low, up)
            if problem is not None and relative and col in (LOW_COL, UP_COL):
                problem += " = %s" % offset_sum(record.value,
                                                record.low if col == LOW_COL else record.up)
        where = self.where(sheet, name, col)
        verdict = PASS if problem is None else FAIL
        message = "" if problem is None else "%s (%s)" % (problem, where)
        return Check(test, name, sheet, where, measured, low, up, record.unit, mode_text,
                     verdict, message)

    def mode(self, mode: Any) -> bool:
        """True for relative limits: the session's choice unless given."""
        if mode is None:
            return self.relative
        if mode in (RELATIVE, self.api.BookParameters.LIMIT_MODE_RELATIVE) \
                and not isinstance(mode, bool):
            return True
        if mode in (ABSOLUTE, self.api.BookParameters.LIMIT_MODE_ABSOLUTE) \
                and not isinstance(mode, bool):
            return False
        raise ValueError("mode must be BookParameters.LIMIT_MODE_ABSOLUTE or "
                         "LIMIT_MODE_RELATIVE (or 'absolute', 'relative'), not %r" % (mode,))

    @staticmethod
    def limits(record: Any, relative: bool) -> Tuple[Any, Any, int, Optional[str]]:
        """(low, up) to compare with; a problem with the limits themselves
        and the column at fault."""
        bounds = []  # type: List[Any]
        for label, col, stored in (("lower", LOW_COL, record.low), ("upper", UP_COL, record.up)):
            if stored is None:
                bounds.append(None)
                continue
            if not is_number(stored):
                return None, None, col, "%s: its %s limit %s is no number" % (
                    record.name, label, typed(stored))
            if relative:
                if not is_number(record.value):
                    return None, None, col, ("%s: its relative %s limit cannot be computed: "
                                             "value %s is no number" % (record.name, label,
                                                                       typed(record.value)))
                try:
                    stored = record.value + stored
                except (ArithmeticError, TypeError, ValueError) as exc:
                    return None, None, col, ("%s: its relative %s limit cannot be computed: %s"
                                             % (record.name, label, describe_exception(exc)))
            if is_nan(stored):
                return None, None, col, "%s: its %s limit is NaN, which nothing lies within" % (
                    record.name, label)
            bounds.append(stored)
        return bounds[0], bounds[1], NAME_COL, None

    @staticmethod
    def compare(record: Any, measured: Any, low: Any, up: Any) -> Tuple[int, Optional[str]]:
        """(column at fault, problem or None)."""
        name, unit = record.name, record.unit
        if not is_number(measured):
            return NAME_COL, "%s: measured value %s is no number" % (name, typed(measured))
        if is_nan(measured):
            return NAME_COL, "%s = %s is not a number (NaN), never within limits" % (
                name, with_unit(measured, unit))
        try:
            if low is not None and measured < low:
                return LOW_COL, "%s = %s is below its lower limit %s" % (
                    name, with_unit(measured, unit), with_unit(low, unit))
            if up is not None and measured > up:
                return UP_COL, "%s = %s is above its upper limit %s" % (
                    name, with_unit(measured, unit), with_unit(up, unit))
        except (ArithmeticError, TypeError, ValueError) as exc:
            return NAME_COL, "%s: measured value %s does not compare with its limits: %s" % (
                name, typed(measured), describe_exception(exc))
        return NAME_COL, None

    def record(self, check: Check, properties: List[Tuple[str, object]]) -> None:
        self.checks.append(check)
        prefix = "tp.%s." % check.name
        properties.extend((prefix + field, display(getattr(check, field)))
                          for field in ("measured", "low", "up", "unit", "verdict", "location"))

    # -- parametrising --------------------------------------------------------

    def cases(self, sheet: Any, prefix: Any) -> List[Any]:
        if sheet not in self.loaded():
            raise CliError('no sheet "%s" loaded from %s (sheets: %s)'
                           % (sheet, self.path, ", ".join(self.loaded())))
        records = list(self.book.get_sheet_parameters(sheet).get_prefix_parameters(prefix))
        if not records:
            raise CliError('no parameter in %s starts with "%s"'
                           % (location(self.path, sheet), display(prefix)))
        return records

    # -- the record -----------------------------------------------------------

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session: "Session") -> None:
        if self.report is None or session.config.getoption("collectonly"):
            return  # a run that only collects keeps the last run's report
        try:
            write_report(self.report, self.document(), self.checks)
        except (OSError, ValueError) as exc:
            self.report_error = "%s: cannot write the parameter report: %s" % (
                self.report_shown, getattr(exc, "strerror", None) or describe_exception(exc))
            if session.exitstatus == 0:
                session.exitstatus = pytest.ExitCode.INTERNAL_ERROR

    def document(self) -> Dict[str, Any]:
        failed = sum(1 for check in self.checks if check.verdict == FAIL)
        return {"book": str(self.path), "sheets": list(self.sheets), "relative": self.relative,
                "checks": [dict((field, to_json(value)) for field, value in zip(FIELDS, check))
                           for check in self.checks],
                "passed": len(self.checks) - failed, "failed": failed}

    def pytest_terminal_summary(self, terminalreporter: "TerminalReporter") -> None:
        if self.checks:
            # -q leaves the checks that passed out of the table, not out of the count.
            shown = [c for c in self.checks
                     if terminalreporter.verbosity >= 0 or c.verdict == FAIL]
            rows = [(c.verdict.upper(), c.name, measured_text(c.measured), c.low, c.up, c.unit,
                     c.test) for c in shown]
            terminalreporter.write_sep("=", "parameter checks")
            table = format_table(rows, ("Verdict", "Parameter", "Measured", "Low", "Up", "Unit",
                                        "Test"), limit=60)
            for line in table.splitlines():
                terminalreporter.write_line(line, red=line.startswith(FAIL.upper()))
            failed = sum(1 for check in self.checks if check.verdict == FAIL)
            terminalreporter.write_line("%d checks: %d passed, %d failed"
                                        % (len(self.checks), len(self.checks) - failed, failed))
        if self.report_error is not None:
            terminalreporter.write_line("ERROR: " + self.report_error, red=True)
        elif self.report is not None and not self.config.getoption("collectonly"):
            terminalreporter.write_line("parameter report: %s" % self.report_shown)


def write_report(path: str, document: Dict[str, Any], checks: List[Check]) -> None:
    """JSON, or CSV (one row per check) for a name ending in .csv, written
    beside the target and put in its place once complete."""
    from testparams.saving import AtomicTarget
    if path.lower().endswith(".csv"):
        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerow(FIELDS)
        for check in checks:
            # A measured text is quoted, so that '3.3' does not read as the number.
            writer.writerow([measured_text(value) if field == "measured" else display(value)
                             for field, value in zip(FIELDS, check)])
        text = buffer.getvalue()
    else:
        text = json.dumps(document, indent=2, ensure_ascii=False, allow_nan=False) + "\n"
    with AtomicTarget(path) as target:
        with open(target.tmp, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)


def session_of(config: "Config") -> ParameterSession:
    session = config.pluginmanager.get_plugin(PLUGIN_NAME)
    if session is None or session.book is None:
        pytest.fail(NOT_CONFIGURED, pytrace=False)
    return session


@pytest.fixture(scope="session")
def tp_book(pytestconfig: "Config") -> Any:
    """The session's BookParameters, its sheets loaded in --tp-sheet order."""
    return session_of(pytestconfig).book


@pytest.fixture
def tp_check(request: "FixtureRequest") -> Callable[..., Check]:
    """``tp_check(name, measured, mode=None, sheet=None)``: fail the test
    unless ``measured`` lies within the parameter's limits (a None limit is
    no bound).  ``name`` may also be a record from ``tp_parameter``; ``mode``
    is LIMIT_MODE_ABSOLUTE or LIMIT_MODE_RELATIVE (default: --tp-relative);
    ``sheet`` looks in that sheet only.  Returns the Check."""
    session = session_of(request.config)
    node = request.node

    def tp_check(name: Union[str, Any], measured: Any, *, mode: Any = None,
                 sheet: Optional[str] = None) -> Check:
        check = session.check(node.nodeid, name, measured, mode, sheet)
        # What record_property does, without its warning under junit_family xunit2,
        # which writes the properties all the same.
        session.record(check, node.user_properties)
        if check.verdict == FAIL:
            pytest.fail(check.message, pytrace=False)
        return check

    return tp_check


def marker_arguments(sheet: str, prefix: Union[str, Tuple[str, ...]] = "",
                     argname: str = CASE_ARGNAME) -> Tuple[str, Any, str]:
    return sheet, prefix, argname


def pytest_generate_tests(metafunc: "Metafunc") -> None:
    marker = metafunc.definition.get_closest_marker(MARKER)
    if marker is None:
        return
    problem = parametrize(metafunc, marker)
    if problem is not None:
        # Failed outside any exception handler, so that no chained traceback shows.
        pytest.fail("@pytest.mark.%s: %s" % (MARKER, problem), pytrace=False)


def parametrize(metafunc: "Metafunc", marker: Any) -> Optional[str]:
    """One case per parameter the marker names; what is wrong, if anything."""
    try:
        sheet, prefix, argname = marker_arguments(*marker.args, **marker.kwargs)
    except TypeError as exc:
        return "%s (takes sheet, prefix='', argname='%s')" % (exc, CASE_ARGNAME)
    if argname not in metafunc.fixturenames:
        return "%s takes no argument %s" % (metafunc.definition.name, argname)
    try:
        records = session_of(metafunc.config).cases(sheet, prefix)
    except CliError as exc:
        return exc.message
    metafunc.parametrize(argname, records, ids=[record.name for record in records])
    return None
