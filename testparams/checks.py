"""Problems that ``testparams check`` looks for in parameter sheets."""
import collections
import os
import shutil
import tempfile
import warnings
import zipfile

from testparams.errors import describe_exception
from testparams.layout import (BOOL_TYPES, BOOL_WORDS, HEADER, KNOWN_TYPES, NAME_COL, TYPE_COL,
                               VALUE_COL, VALUE_COLS, cell_ref, is_blank, is_number, normalised_type,
                               sheet_ref)
from testparams.loading import Replay

# row and col are None when a problem belongs to the whole sheet; name is the
# parameter's name where the problem belongs to one; last is the far corner
# (row, col) of a range.
Finding = collections.namedtuple("Finding", "sheet row col name message last")

# A header with fewer cells as expected than this is no parameter header.
HEADER_MATCHES_NEEDED = 4
# Beyond this a number converts to no float, and an instrument takes no such value.
FLOAT_MAX_BITS = 1024


def cell_name(col):
    return HEADER[col - 1]


def shown(value):
    """repr, or a short description of an integer too long to print."""
    if isinstance(value, int) and value.bit_length() > 3000:
        return "<integer of about %d digits>" % int(value.bit_length() * 0.30103)
    return repr(value)


class SheetCheck(object):
    """The findings of one sheet, and the records loading keeps."""

    def __init__(self, api, scan, support_eval, relative):
        self.sheet = scan.title
        self.findings = []
        self.records = {}
        layout = scan.layout
        if not self.check_header(layout):
            return
        replay = Replay(api, layout, support_eval)
        self.records = replay.records
        by_row = dict((row.row, row) for row in layout.reachable)
        refused = not support_eval
        for failure in replay.failures:
            if (failure.row, failure.col) in scan.error_cells:
                continue  # said below, with the error
            type_cell = by_row[failure.row].cells[TYPE_COL - 1]
            if refused and normalised_type(type_cell) == "eval" and failure.col in VALUE_COLS:
                self.report(failure.row, failure.col, failure.name,
                            '"eval" %s cell not evaluated (--eval evaluates it: only for '
                            'workbooks you trust)' % cell_name(failure.col))
            else:
                self.report(failure.row, failure.col, failure.name,
                            "%s does not load, so neither does the sheet: %s"
                            % (cell_name(failure.col), describe_exception(failure.error)))
        for row in layout.reachable:
            self.check_row(row, replay.converted.get(row.row), scan)
        for row, first in layout.repeated_names():
            name = row.cells[NAME_COL - 1]
            self.report(row.row, NAME_COL, name, "name repeats row %d; loading keeps this "
                        "row's record" % first)
        for row in layout.unreachable:
            self.report(row.row, NAME_COL, row.cells[NAME_COL - 1],
                        "never loaded: the empty Name cell in row %d ends the table"
                        % layout.end_row)
        rows = set(row.row for row in layout.reachable)
        for (rownum, col), formula in sorted(scan.formulas.items()):
            if rownum in rows and not formula.has_result:
                self.report(rownum, col, by_row[rownum].cells[NAME_COL - 1],
                            "formula =%s has no stored result; loading reads an empty cell "
                            "(open and save the workbook in a spreadsheet program)"
                            % formula.text.lstrip("="))
        bottom = max(layout.last_row, layout.end_row or 1)
        for merged in scan.merged:
            if merged.min_col <= len(HEADER) and merged.min_row <= bottom:
                self.findings.append(Finding(
                    self.sheet, merged.min_row, merged.min_col, None,
                    "merged cells in the table: loading reads only the first cell, and "
                    "saving refuses to write into them", (merged.max_row, merged.max_col)))
        for name, (para, rownum) in self.records.items():
            self.check_limits(para, rownum, relative)
        self.findings.sort(key=lambda f: (f.row or 0, f.col or 0))

    def report(self, row, col, name, message):
        self.findings.append(Finding(self.sheet, row, col, name, message, None))

    def check_header(self, layout):
        """Header findings; False for a sheet that is no parameter sheet at all."""
        header = layout.header
        if header is None or all(is_blank(cell) for cell in header.cells):
            return True
        texts = [str(cell).strip().lower() if cell is not None else "" for cell in header.cells]
        matches = sum(text == expected.lower() for text, expected in zip(texts, HEADER))
        if matches < HEADER_MATCHES_NEEDED:
            self.findings.append(Finding(
                self.sheet, None, None, None,
                "not a parameter sheet: row 1 is no header %s (choose sheets with --sheet)"
                % ", ".join(HEADER), None))
            return False
        for col, (cell, expected) in enumerate(zip(header.cells, HEADER), 1):
            if is_blank(cell):
                self.report(1, col, None, 'header cell is empty where "%s" is expected'
                            % expected)
            elif texts[col - 1] != expected.lower():
                self.report(1, col, None, 'header reads "%s" where "%s" is expected (columns '
                            'are read by position)' % (cell, expected))
        return True

    def check_row(self, row, converted, scan):
        name = row.cells[NAME_COL - 1]
        type_cell = row.cells[TYPE_COL - 1]
        if isinstance(name, str) and name != name.strip():
            self.report(row.row, NAME_COL, name, "name has leading or trailing blanks")
        vtype = normalised_type(type_cell)
        if isinstance(vtype, str) and vtype not in KNOWN_TYPES and converted is not None:
            self.report(row.row, TYPE_COL, name, 'unknown variable type "%s": loading fails '
                        'once a Value, Low or Up cell is filled' % type_cell)
        for index, col in enumerate(VALUE_COLS):
            content = row.cells[col - 1]
            if content is None:
                continue
            value = converted[index] if converted is not None else None
            if (row.row, col) in scan.error_cells:
                reads = "loading fails" if converted is None else "it reads as %r" % (value,)
                self.report(row.row, col, name, "%s cell holds the error %s; %s"
                            % (cell_name(col), content, reads))
            elif converted is None:
                continue
            elif vtype in BOOL_TYPES:
                self.check_bool(row.row, col, name, content, value)
            elif vtype == "int":
                self.check_int(row.row, col, name, content, value)

    def check_bool(self, rownum, col, name, content, value):
        if isinstance(content, bool):
            return
        if is_number(content) and content in (0, 1):
            return
        if str(content).strip().lower() in BOOL_WORDS:
            return
        self.report(rownum, col, name, '"bool" %s %s is no usual word and reads as %s (write '
                    'true or false, yes or no, 1 or 0)' % (cell_name(col), shown(content), value))

    def check_int(self, rownum, col, name, content, value):
        if isinstance(value, int) and value.bit_length() > FLOAT_MAX_BITS:
            self.report(rownum, col, name, '"int" %s is a number of about %d digits, beyond '
                        'any float' % (cell_name(col), int(value.bit_length() * 0.30103)))
            return
        exact = content
        if isinstance(content, str):
            try:
                exact = float(content.strip())
            except ValueError:
                return
        if isinstance(exact, float) and exact == exact and exact != value:
            self.report(rownum, col, name, '"int" %s %s is cut to %s (write the whole number, '
                        'or make the row "float")' % (cell_name(col), shown(content), value))

    def check_limits(self, para, rownum, relative):
        value, low, up = para.value, para.low, para.up
        name = para.name
        if is_number(low) and is_number(up) and low > up:
            self.report(rownum, VALUE_COLS[1], name, "low limit %s is above upper limit %s"
                        % (shown(low), shown(up)))
        if not is_number(value):
            return
        # A value outside absolute limits that look like offsets around it is
        # probably meant to be read in relative mode; say so.
        hint = ""
        if not relative and is_number(low) and is_number(up) and low < 0 < up:
            hint = "; read as relative limits (--relative) it is inside them"
        for limit, below, word in ((low, True, "lower"), (up, False, "upper")):
            if not is_number(limit):
                continue
            try:
                bound = value + limit if relative else limit
                outside = value < bound if below else value > bound
            except (OverflowError, TypeError, ValueError):
                continue
            if outside:
                self.report(rownum, VALUE_COL, name, "value %s is %s its %s limit %s%s%s"
                            % (shown(value), "below" if below else "above", word, shown(bound),
                               " (value %s %s)" % ("+", "low" if below else "up")
                               if relative else "", hint))
                return


def check_book(api, raw, sheetnames, support_eval, relative, progress=None):
    """Every finding of the named sheets, sheet by sheet, then the names that
    several sheets hold."""
    findings = []
    holders = collections.OrderedDict()  # name -> [(sheet, row)] in load order
    for sheetname in sheetnames:
        if progress is not None:
            progress(raw.path, sheetname, 0)
        scan = raw.scan(sheetname, progress and (lambda rows, s=sheetname: progress(raw.path, s,
                                                                                   rows)))
        result = SheetCheck(api, scan, support_eval, relative)
        findings.extend(result.findings)
        for name, (para, rownum) in result.records.items():
            holders.setdefault(name, []).append((sheetname, rownum))
    for name, places in holders.items():
        if len(places) > 1:
            sheet, rownum = places[-1]
            others = ", ".join("%s!%s" % (sheet_ref(s), cell_ref(r, NAME_COL))
                               for s, r in places[:-1])
            findings.append(Finding(sheet, rownum, NAME_COL, name,
                                    "name also held by %s; a look-up in the book finds this "
                                    "one, of the sheet loaded last" % others, None))
    return findings


# Parts and sheet elements that openpyxl may not carry through a save; a
# workbook that holds none of them needs no trial save.
PLAIN_PARTS = ("[Content_Types].xml", "_rels/.rels", "xl/_rels/workbook.xml.rels",
               "xl/workbook.xml", "xl/styles.xml", "xl/sharedStrings.xml", "xl/calcChain.xml",
               "docProps/core.xml", "docProps/app.xml", "docProps/custom.xml")
SHEET_MARKS = (b"extLst", b"controls", b"oleObjects", b"customSheetViews", b"scenarios",
               b"cellWatches", b"protectedRanges", b"drawing", b"legacyDrawing", b"tableParts",
               b"smartTags", b"webPublishItems", b"dataConsolidate", b't="d"')
# Plain parts that may still hold what a save drops: defined names openpyxl
# does not write back, formatting runs of shared strings (kept only by
# openpyxl 3.1's rich text), ISO date texts it reads only in part.
PART_MARKS = {"xl/workbook.xml": (b"definedName",),
              "xl/sharedStrings.xml": (b"<r>", b":r>")}
DROP_TEXT = ": this save drops what openpyxl cannot keep: "


def may_drop(path):
    """Whether the package holds anything beyond what openpyxl surely keeps."""
    with zipfile.ZipFile(path) as archive:
        for name in archive.namelist():
            if name in PART_MARKS:
                data = archive.read(name)
                if any(mark in data for mark in PART_MARKS[name]):
                    return True
                continue
            if name in PLAIN_PARTS or name.startswith("xl/theme/"):
                continue
            if not (name.startswith("xl/worksheets/sheet") and name.endswith(".xml")):
                return True
            data = archive.read(name)
            if any(mark in data for mark in SHEET_MARKS):
                return True
    return False


def save_drops(api, path, sheetnames, support_eval):
    """{sheet title or None (the workbook): what a save would drop}, found by a
    save of a copy with the given sheets loaded; empty when nothing goes."""
    if not may_drop(path):
        return {}
    with tempfile.TemporaryDirectory(prefix="testparams-") as folder:
        copy = os.path.join(folder, os.path.basename(path))
        shutil.copyfile(path, copy)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                book = api.BookParameters(copy, support_eval)
                for sheetname in sheetnames:
                    book.load_sheet(sheetname)
                book.save()
            except Exception:
                return {}  # what fails to load is a finding already
    drops = {}
    for warning in caught:
        text = str(warning.message)
        if DROP_TEXT not in text:
            continue
        for piece in text.split(DROP_TEXT, 1)[1].split("; "):
            owner = None
            for title in list(sheetnames) + ["workbook"]:
                if piece.startswith(title + ": "):
                    owner, piece = title, piece[len(title) + 2:]
                    break
            if owner is None and drops:  # a title holding "; " was split
                last = list(drops)[-1]
                drops[last] += "; " + piece
                continue
            drops[None if owner == "workbook" else owner] = piece
    return drops


def drop_findings(drops):
    return [Finding(sheet, None, None, None, "a save drops what openpyxl cannot keep: %s" % items,
                    None) for sheet, items in drops.items()]
