"""The subcommands of ``testparams``: each takes the parsed arguments and the
module, prints its result and returns the exit status."""
import json
import os
import sys
import threading

from testparams.checks import check_book, drop_findings, save_drops
from testparams.errors import (EXIT_ERROR, EXIT_FOUND, EXIT_OK, CliError, describe_exception,
                               location)
from testparams.layout import BOOL_TYPES, BOOL_WORDS, HEADER, NAME_COL, VALUE_COL, normalised_type
from testparams.loading import load_sheets, sheet_holding, sheet_tables, sheets_holding
from testparams.render import (Colour, display, format_table, parameter_json, quoted, table_row,
                               to_json)
from testparams.saving import AtomicTarget, os_error, same_file, save_book
from testparams.sheets import BOOK_SUFFIXES, RawBook, find_workbooks


def print_json(doc):
    print(json.dumps(doc, indent=2, ensure_ascii=False))


class Progress(object):
    """What is being read (workbook, sheet, rows done), on stderr, once the
    work has taken over two seconds; only on a terminal, so that nothing of
    it reaches a pipe or a file.  A thread writes it, as a load through the
    module reports no rows on its way."""

    DELAY = 2.0
    EVERY = 0.25

    def __init__(self, stream=None):
        self.stream = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = bool(isatty and isatty())
        self.state = None       # (book, sheet, rows or None) while reading
        self.lock = threading.Lock()
        self.stopped = threading.Event()
        self.shown = False
        self.last = None
        self.thread = None

    def __enter__(self):
        if self.enabled:
            self.thread = threading.Thread(target=self.run, name="testparams-progress")
            self.thread.daemon = True
            self.thread.start()
        return self

    def __exit__(self, *exc_info):
        self.stopped.set()
        if self.thread is not None:
            self.thread.join()
        self.clear()

    def __call__(self, book, sheet=None, rows=None):
        self.state = (book, sheet, rows)

    def idle(self):
        """Nothing is being read: the line goes, so that output may follow."""
        with self.lock:
            self.state = None
            self.clear()

    def clear(self):
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False
            self.last = None

    def run(self):
        if self.stopped.wait(self.DELAY):
            return
        while not self.stopped.wait(self.EVERY):
            with self.lock:
                state = self.state
                if state is None:
                    continue
                book, sheet, rows = state
                text = "%s: sheet %s: %s" % (book, sheet, "loading" if rows is None
                                             else "%d rows read" % rows)
                if text != self.last:
                    self.stream.write("\r\033[K" + text)
                    self.stream.flush()
                    self.last = text
                    self.shown = True


# -- show ---------------------------------------------------------------------

def run_show(args, api):
    with RawBook(args.book) as raw, Progress() as progress:
        book = load_sheets(api, raw, raw.select_sheets(args.sheets), args.support_eval, progress)
    tables = sheet_tables(book)
    if args.json:
        print_json({"book": args.book, "sheets": [
            {"name": name,
             "parameters": [parameter_json(getattr(table, p)) for p in table.parameter_names]}
            for name, table in tables]})
        return EXIT_OK
    blocks = []
    for name, table in tables:
        names = table.parameter_names
        title = 'sheet "%s": %d parameter%s' % (name, len(names), "" if len(names) == 1 else "s")
        if names:
            body = format_table([table_row(getattr(table, p)) for p in names])
            blocks.append(title + "\n" + body)
        else:
            blocks.append(title)
    print("\n\n".join(blocks))
    return EXIT_OK


# -- get ----------------------------------------------------------------------

def find_parameter(book, path, name, sheet):
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
    with RawBook(args.book) as raw, Progress() as progress:
        sheets = raw.select_sheets([args.sheet] if args.sheet is not None else [])
        book = load_sheets(api, raw, sheets, args.support_eval, progress)
    para = find_parameter(book, args.book, args.name, args.sheet)
    sheetname = args.sheet if args.sheet is not None else sheet_holding(book, args.name)
    relative = args.relative
    lines = [("value", para.value)]
    if args.limits or relative or args.json:
        mode = api.BookParameters.LIMIT_MODE_RELATIVE if relative \
            else api.BookParameters.LIMIT_MODE_ABSOLUTE
        for label, stored in (("low", para.low), ("up", para.up)):
            if stored is None:
                lines.append((label, None))
                continue
            getter = book.get_low if label == "low" else book.get_up
            try:
                limit = getter(args.name, None, mode)
            except Exception as exc:
                raise CliError('%s: cannot compute the relative %s limit of "%s" (value %s, '
                               '%s %s): %s' % (args.book, label, args.name, display(para.value),
                                               label, display(stored), describe_exception(exc)))
            lines.append((label, limit))
    if args.json:
        doc = parameter_json(para)
        doc.update(sheet=sheetname, book=args.book, relative=relative,
                   low=to_json(lines[1][1]), up=to_json(lines[2][1]))
        print_json(doc)
        return EXIT_OK
    if not (args.limits or relative):
        print(display(para.value))
        return EXIT_OK
    for label, value in lines:
        print(("%-5s %s" % (label, display(value))).rstrip())
    return EXIT_OK


# -- set ----------------------------------------------------------------------

def refuse_lossy_save(raw, sheetname, para, rownum):
    """Stop when saving would change more than the one value: a repeated name
    (saving writes one row per name and empties the others), or a formula in
    the cell that the new value replaces."""
    layout = raw.layout(sheetname)
    for row, first in layout.repeated_names():
        raise CliError('%s: %s: name repeats row %d; saving writes one row per name and '
                       'empties the others (see testparams check; --force saves anyway)'
                       % (location(raw.path, sheetname, row.row, NAME_COL),
                          row.cells[NAME_COL - 1], first))
    formula = raw.scan(sheetname).formulas.get((rownum, VALUE_COL))
    if formula is not None:
        raise CliError('%s: %s: the Value cell holds the formula =%s, which the new value '
                       'replaces (--force saves anyway)'
                       % (location(raw.path, sheetname, rownum, VALUE_COL), para.name,
                          formula.text.lstrip("=")))


def convert_value(table, para, text, where):
    try:
        value = table._parse_value(text, para.type)
    except Exception as exc:
        raise CliError('%s: %s: VALUE %r does not convert to the type "%s": %s'
                       % (where, para.name, text, para.type, describe_exception(exc)))
    vtype = normalised_type(para.type)
    stripped = text.strip()
    if vtype in BOOL_TYPES and stripped and stripped.lower() not in BOOL_WORDS:
        raise CliError('%s: %s: VALUE %r would read as %s; write true or false, yes or no, '
                       '1 or 0' % (where, para.name, text, value))
    if vtype == "int" and stripped:
        try:
            exact = float(stripped)
        except ValueError:
            exact = None
        if exact is not None and exact == exact and exact != value:
            raise CliError('%s: %s: VALUE %r would read as %s in this "int" row'
                           % (where, para.name, text, value))
    return value


def outside_limits(para, value, relative):
    low, up = para.low, para.up
    try:
        if relative:
            low = None if low is None else value + low
            up = None if up is None else value + up
        if low is not None and value < low:
            return "below its lower limit %s" % display(low)
        if up is not None and value > up:
            return "above its upper limit %s" % display(up)
    except (TypeError, ValueError, OverflowError):
        pass
    return None


def run_set(args, api):
    if args.output is not None:
        if same_file(args.output, args.book):
            raise CliError("%s: --output names BOOK itself (leave --output out to change BOOK)"
                           % args.output)
        suffix = os.path.splitext(args.book)[1].lower()
        if os.path.splitext(args.output)[1].lower() != suffix or suffix not in BOOK_SUFFIXES:
            # A macro workbook keeps its macros and its type only under its own suffix.
            raise CliError("%s: --output must end in %s, as BOOK does"
                           % (args.output, suffix if suffix in BOOK_SUFFIXES else ".xlsx"))
    with RawBook(args.book) as raw:
        if args.sheet is not None:
            load = raw.select_sheets([args.sheet])
        else:
            load = raw.sheetnames
        with Progress() as progress:
            book = load_sheets(api, raw, load, args.support_eval, progress)
        para = find_parameter(book, args.book, args.name, args.sheet)
        if args.sheet is None:
            holders = sheets_holding(book, args.name)
            if len(holders) > 1:
                raise CliError('%s: "%s" is held by the sheets %s; choose one with --sheet'
                               % (args.book, args.name, ", ".join('"%s"' % s for s in holders)))
        sheetname = args.sheet if args.sheet is not None else sheet_holding(book, args.name)
        rownum = raw.layout(sheetname).rows_by_name().get(args.name)
        if not args.force:
            refuse_lossy_save(raw, sheetname, para, rownum)
    where = location(args.book, sheetname, rownum, VALUE_COL)
    table = book.get_sheet_parameters(sheetname)
    old = para.value
    new = convert_value(table, para, args.value, where)
    outside = outside_limits(para, new, args.relative) if new is not None else None
    if args.output is None:
        for other in book.get_all_sheet_names():
            if other != sheetname:
                book.unload_sheet(other)
        table.set_value(args.name, new)
        save_book(book, args.book, args.force)
    else:
        try:
            target = AtomicTarget(args.output, source=args.book)
        except OSError as exc:
            raise CliError("%s: cannot write: %s" % (args.output, os_error(exc)))
        try:
            with target:
                with RawBook(target.tmp) as copied:
                    copy = load_sheets(api, copied, [sheetname], args.support_eval)
                copy.get_sheet_parameters(sheetname).set_value(args.name, new)
                save_book(copy, args.output, args.force, target.named)
        except CliError as exc:
            raise CliError(target.named(exc.message))
        except OSError as exc:
            raise CliError("%s: cannot write: %s" % (args.output, os_error(exc)))
    if outside:
        print("testparams: warning: %s: %s: %s is %s" % (where, args.name, display(new), outside),
              file=sys.stderr)
    if args.json:
        print_json({"book": args.book, "sheet": sheetname, "cell": where, "name": args.name,
                    "value": to_json(new), "was": to_json(old), "output": args.output,
                    "outside_limits": outside is not None})
        return EXIT_OK
    print('%s: %s = %s (was %s)%s'
          % (where, args.name, shown(new), shown(old),
             "" if args.output is None else ", written to %s" % args.output))
    return EXIT_OK


def shown(value):
    return "(empty)" if value is None else display(value)


# -- check --------------------------------------------------------------------

def finding_json(path, finding):
    return {"location": finding_location(path, finding), "sheet": finding.sheet,
            "row": finding.row, "column": finding.col, "parameter": to_json(finding.name),
            "message": finding.message}


def finding_location(path, finding):
    return location(path, finding.sheet, finding.row, finding.col, finding.last)


def check_all(args, api, colour, progress):
    """Check each workbook in turn, printing its findings (unless --json);
    [(path, findings, error)] and the exit status."""
    results = []
    status = EXIT_OK
    for path, error in find_workbooks(args.paths):
        findings = []
        if error is None:
            try:
                with RawBook(path) as raw:
                    sheets = raw.select_sheets(args.sheets)
                    findings = check_book(api, raw, sheets, args.support_eval, args.relative,
                                          progress)
                findings += drop_findings(save_drops(api, path, sheets, args.support_eval))
            except CliError as exc:
                error = exc
            except Exception as exc:
                error = CliError("%s: %s" % (path, describe_exception(exc)))
            progress.idle()
        if error is not None:
            if path in args.paths[1:] and not os.path.exists(path) \
                    and not path.lower().endswith(BOOK_SUFFIXES):
                error = CliError("%s (to choose a sheet, write --sheet %s)" % (error.message, path))
            print("testparams: error: %s" % error.message, file=sys.stderr)
            status = EXIT_ERROR
        elif findings and status == EXIT_OK:
            status = EXIT_FOUND
        results.append((path, findings, error))
        if args.json or error is not None:
            continue
        for finding in findings:
            where = finding_location(path, finding)
            name = "" if finding.name is None else "%s: " % display(finding.name)
            message = finding.message.replace("\r", "\\r").replace("\n", "\\n")
            print("%s: %s%s" % (colour("location", where), name, message))
        if findings:
            print("%s: %d problem%s found" % (path, len(findings), "" if len(findings) == 1
                                                 else "s"))
        else:
            print("%s: %s" % (path, colour("ok", "no problems found")))
    return results, status


def run_check(args, api):
    colour = Colour()
    with Progress() as progress:
        results, status = check_all(args, api, colour, progress)
    if args.json:
        print_json({"workbooks": [
            {"book": path, "error": None if error is None else error.message,
             "findings": [finding_json(path, f) for f in findings]}
            for path, findings, error in results]})
    return status


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


def run_new(args, api):
    if not args.book.lower().endswith(".xlsx"):
        raise CliError("%s: a new workbook's name must end in .xlsx, which the tools read back"
                       % args.book)
    if os.path.isdir(args.book):
        raise CliError("%s: is a directory" % args.book)
    if os.path.exists(args.book) and not args.force:
        raise CliError("%s: file exists (--force replaces it)" % args.book)
    validate_titles(args.book, args.sheets)
    book = api.Workbook()
    book.remove(book.active)
    for title in args.sheets:
        table = api.SheetParameters(args.support_eval)
        table.sheet_rename(title)
        table.save(book)  # a new worksheet receives the header row
    try:
        with AtomicTarget(args.book) as target:
            book.save(target.tmp)
    except OSError as exc:
        raise CliError("%s: cannot write: %s" % (args.book, os_error(exc)))
    if args.json:
        print_json({"book": args.book, "sheets": list(args.sheets), "header": list(HEADER)})
        return EXIT_OK
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
            sa, sb = quoted(a), quoted(b)
            if sa == sb:  # e.g. 1 and 1.0, or True and 1
                sa, sb = "%s (%s)" % (sa, type(a).__name__), "%s (%s)" % (sb, type(b).__name__)
            changes.append((label, a, b, "%s %s -> %s" % (label, sa, sb)))
    return changes


def diff_sheet(name, old_table, new_table):
    """[(kind, sheet, parameter, text, changes)] of one sheet.

    Records are read as the tables' attributes, and names compared as sets:
    asking a table has_parameter for each name would scan its list each time.
    """
    entries = []
    old_names = old_table.parameter_names
    new_names = new_table.parameter_names
    old_set, new_set = set(old_names), set(new_names)
    for pname in old_names:
        if pname not in new_set:
            entries.append(("removed", name, pname, "removed %s (value %s)"
                            % (pname, quoted(getattr(old_table, pname).value)), []))
    for pname in new_names:
        if pname not in old_set:
            entries.append(("added", name, pname, "added %s (value %s)"
                            % (pname, quoted(getattr(new_table, pname).value)), []))
    for pname in new_names:
        if pname in old_set:
            changes = changed_fields(getattr(old_table, pname), getattr(new_table, pname))
            if changes:
                entries.append(("changed", name, pname, "changed %s: %s"
                                % (pname, ", ".join(c[3] for c in changes)), changes))
    return entries


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
        with Progress() as progress:
            old_book = load_sheets(api, raw_old, [s for s in wanted if s in raw_old.sheetnames],
                                   args.support_eval, progress)
            new_book = load_sheets(api, raw_new, [s for s in wanted if s in raw_new.sheetnames],
                                   args.support_eval, progress)
    entries = []
    for sheet in wanted:
        old_table = old_book.get_sheet_parameters(sheet, False)
        new_table = new_book.get_sheet_parameters(sheet, False)
        if old_table is None or new_table is None:
            present = args.new if old_table is None else args.old
            entries.append(("sheet", sheet, None, "only in %s" % present, []))
            empty = api.SheetParameters()
            entries.extend(diff_sheet(sheet, empty if old_table is None else old_table,
                                      empty if new_table is None else new_table))
        else:
            entries.extend(diff_sheet(sheet, old_table, new_table))
    if args.json:
        print_json({"old": args.old, "new": args.new, "differences": [
            {"kind": kind, "sheet": sheet, "parameter": to_json(pname),
             "changes": [{"field": c[0], "old": to_json(c[1]), "new": to_json(c[2])}
                         for c in changes],
             "text": text}
            for kind, sheet, pname, text, changes in entries]})
        return EXIT_FOUND if entries else EXIT_OK
    if not entries:
        print("no differences")
        return EXIT_OK
    colour = Colour()
    print("--- %s\n+++ %s" % (args.old, args.new))
    for kind, sheet, pname, text, changes in entries:
        print('sheet "%s": %s' % (sheet, colour("changed" if kind == "sheet" else kind, text)))
    return EXIT_FOUND
