"""Hand-built workbook files for the robustness suite and scripts.

The files are written part by part with zipfile, so a test can put exactly
the bytes it wants into any part: a DOCTYPE with entity declarations, a
truncated document, a missing part.  Strings go either into the shared
strings part (cells of type "s") or inline into the sheet.
"""

import io
import random
import re
import zipfile
from xml.sax.saxutils import escape

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
OFFICE_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
ML = "application/vnd.openxmlformats-officedocument.spreadsheetml"

CONTENT_TYPES = "[Content_Types].xml"
WORKBOOK = "xl/workbook.xml"
WORKBOOK_RELS = "xl/_rels/workbook.xml.rels"
SHARED_STRINGS = "xl/sharedStrings.xml"


def sheet_part(index):
    """Name of the part that holds the index-th sheet (counting from 1)."""
    return "xl/worksheets/sheet%d.xml" % index


def parameter_rows(count, prefix="P"):
    """Header plus `count` parameter rows of mixed variable types."""
    rows = [HEADER]
    kinds = (
        ("int", lambda i: str(i), lambda i: 0, lambda i: i * 2 + 1),
        ("float", lambda i: i * 0.5, lambda i: -1.5, lambda i: 1e3),
        ("bool", lambda i: "yes" if i % 2 else "no", lambda i: None, lambda i: None),
        ("str", lambda i: "text %d" % i, lambda i: None, lambda i: None),
        (None, lambda i: i, lambda i: None, lambda i: None),
        ("bytes", lambda i: "b\u00e9%d" % i, lambda i: None, lambda i: None),
        ("auto", lambda i: i * 3, lambda i: 1, lambda i: 2),
    )
    for i in range(count):
        kind, value, low, up = kinds[i % len(kinds)]
        rows.append(("parameter %d" % i, value(i), low(i), up(i), "V",
                     "%s%d" % (prefix, i), kind))
    return rows


def _column_letter(col):
    letters = ""
    while col:
        col, rem = divmod(col - 1, 26)
        letters = chr(65 + rem) + letters
    return letters


class _Strings:
    def __init__(self):
        self.index = {}
        self.items = []

    def add(self, text):
        if text not in self.index:
            self.index[text] = len(self.items)
            self.items.append(text)
        return self.index[text]


def _cell_xml(ref, value, strings):
    if value is None:
        return ""
    if isinstance(value, bool):
        return '<c r="%s" t="b"><v>%d</v></c>' % (ref, int(value))
    if isinstance(value, (int, float)):
        return '<c r="%s"><v>%r</v></c>' % (ref, value)
    text = str(value)
    if strings is not None:
        return '<c r="%s" t="s"><v>%d</v></c>' % (ref, strings.add(text))
    return '<c r="%s" t="inlineStr"><is><t xml:space="preserve">%s</t></is></c>' % (
        ref, escape(text))


def sheet_xml(rows, strings=None, dimension=True, prolog=""):
    """The worksheet document for `rows` (a sequence of row tuples).

    `strings`: a _Strings collector for shared strings, or None for inline
    strings.  `prolog` goes between the XML declaration and the root.
    """
    body = []
    width = 1
    for r, row in enumerate(rows, 1):
        cells = "".join(_cell_xml("%s%d" % (_column_letter(c), r), v, strings)
                        for c, v in enumerate(row, 1))
        width = max(width, len(row))
        body.append('<row r="%d">%s</row>' % (r, cells))
    dim = ""
    if dimension and rows:
        dim = '<dimension ref="A1:%s%d"/>' % (_column_letter(width), len(rows))
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n%s'
            '<worksheet xmlns="%s" xmlns:r="%s">%s<sheetData>%s</sheetData></worksheet>'
            % (prolog, MAIN_NS, REL_NS, dim, "".join(body)))


def shared_strings_xml(items, prolog=""):
    sis = "".join('<si><t xml:space="preserve">%s</t></si>' % escape(t) for t in items)
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n%s'
            '<sst xmlns="%s" count="%d" uniqueCount="%d">%s</sst>'
            % (prolog, MAIN_NS, len(items), len(items), sis))


def workbook_parts(sheets, shared_strings=True, dimension=True):
    """An ordered dict-like list of (part name, text) for a whole workbook.

    `sheets` is a sequence of (title, rows).
    """
    strings = _Strings() if shared_strings else None
    parts = []
    overrides = ['<Override PartName="/%s" ContentType="%s.sheet.main+xml"/>' % (WORKBOOK, ML)]
    wb_sheets = []
    wb_rels = []
    for i, (title, rows) in enumerate(sheets, 1):
        parts.append((sheet_part(i), sheet_xml(rows, strings, dimension)))
        overrides.append('<Override PartName="/%s" ContentType="%s.worksheet+xml"/>'
                         % (sheet_part(i), ML))
        wb_sheets.append('<sheet name="%s" sheetId="%d" r:id="rId%d"/>'
                         % (escape(title, {'"': "&quot;"}), i, i))
        wb_rels.append('<Relationship Id="rId%d" Type="%s/worksheet" Target="worksheets/sheet%d.xml"/>'
                       % (i, OFFICE_REL, i))
    if strings is not None:
        parts.append((SHARED_STRINGS, shared_strings_xml(strings.items)))
        overrides.append('<Override PartName="/%s" ContentType="%s.sharedStrings+xml"/>'
                         % (SHARED_STRINGS, ML))
        wb_rels.append('<Relationship Id="rId%d" Type="%s/sharedStrings" Target="sharedStrings.xml"/>'
                       % (len(sheets) + 1, OFFICE_REL))
    decl = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    head = [
        (CONTENT_TYPES, decl + '<Types xmlns="%s">'
         '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
         '<Default Extension="xml" ContentType="application/xml"/>%s</Types>'
         % (CT_NS, "".join(overrides))),
        ("_rels/.rels", decl + '<Relationships xmlns="%s">'
         '<Relationship Id="rId1" Type="%s/officeDocument" Target="xl/workbook.xml"/>'
         '</Relationships>' % (PKG_REL_NS, OFFICE_REL)),
        (WORKBOOK, decl + '<workbook xmlns="%s" xmlns:r="%s"><sheets>%s</sheets></workbook>'
         % (MAIN_NS, REL_NS, "".join(wb_sheets))),
        (WORKBOOK_RELS, decl + '<Relationships xmlns="%s">%s</Relationships>'
         % (PKG_REL_NS, "".join(wb_rels))),
    ]
    return head + parts


def zip_parts(parts, compression=zipfile.ZIP_DEFLATED):
    """Bytes of a zip archive holding `parts` ((name, text or bytes) pairs)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as zf:
        for name, data in parts:
            if isinstance(data, str):
                data = data.encode("utf-8")
            zf.writestr(name, data)
    return buf.getvalue()


def build_xlsx(sheets, shared_strings=True, dimension=True,
               compression=zipfile.ZIP_DEFLATED, replace=None):
    """Bytes of a workbook holding `sheets` ((title, rows) pairs).

    `replace` maps part names to new contents; a content of None drops the
    part from the archive.
    """
    parts = workbook_parts(sheets, shared_strings, dimension)
    if replace:
        names = [n for n, _ in parts]
        for name, data in replace.items():
            if name in names:
                idx = names.index(name)
                if data is None:
                    del parts[idx]
                    del names[idx]
                else:
                    parts[idx] = (name, data)
            elif data is not None:
                parts.append((name, data))
    return zip_parts(parts, compression)


def read_parts(data):
    """The (name, bytes) pairs of a zip archive given as bytes, in order."""
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        return [(info.filename, zf.read(info)) for info in zf.infolist()]


# Entity-expansion documents -------------------------------------------------

def laughs_doctype(root, levels=10, fanout=10):
    """A DOCTYPE whose entity `&lol<levels-1>;` expands to fanout**levels "lol"s."""
    ents = ['<!ENTITY lol0 "lol">']
    for i in range(1, levels):
        ents.append('<!ENTITY lol%d "%s">' % (i, ("&lol%d;" % (i - 1)) * fanout))
    return "<!DOCTYPE %s [%s]>\n" % (root, "".join(ents)), "&lol%d;" % (levels - 1)


def quadratic_doctype(root, size=200000):
    """One large entity, to be referenced many times (quadratic blow-up)."""
    return '<!DOCTYPE %s [<!ENTITY big "%s">]>\n' % (root, "x" * size), "&big;"


def external_doctype(root, url):
    """An external entity that points at `url`."""
    return '<!DOCTYPE %s [<!ENTITY ext SYSTEM "%s">]>\n' % (root, url), "&ext;"


def hostile_sheet_xml(rows, prolog, reference, count=1):
    """Sheet document with `prolog` and `reference` (repeated `count` times)
    as the Name cell of an inline-string row after `rows`."""
    doc = sheet_xml(rows, None, True, prolog)
    r = len(rows) + 1
    cell = ('<row r="%d"><c r="F%d" t="inlineStr"><is><t>%s</t></is></c>'
            '<c r="B%d" t="inlineStr"><is><t>%s</t></is></c></row>'
            % (r, r, reference, r, reference * count))
    return doc.replace("</sheetData>", cell + "</sheetData>")


def hostile_strings_xml(items, prolog, reference, count=1):
    """Shared-strings document with `prolog` and one extra string made of
    `reference` repeated `count` times."""
    doc = shared_strings_xml(items, prolog)
    extra = "<si><t>%s</t></si>" % (reference * count)
    return doc.replace("</sst>", extra + "</sst>")


# Byte mutations --------------------------------------------------------------

INTERESTING_BYTES = b"\x00\xff<>&\"'/=;#x0123456789 \n\x80\xc3"


def mutate(data, rng, max_ops=4):
    """Apply 1..max_ops random edits to `data`; return (bytes, description)."""
    buf = bytearray(data)
    done = []
    for _ in range(rng.randint(1, max_ops)):
        if not buf:
            break
        op = rng.choice(("flip", "flip", "byte", "truncate", "copy", "insert", "delete"))
        n = len(buf)
        if op == "flip":
            for _ in range(rng.randint(1, 8)):
                pos = rng.randrange(n)
                buf[pos] ^= 1 << rng.randrange(8)
        elif op == "byte":
            buf[rng.randrange(n)] = rng.choice(INTERESTING_BYTES)
        elif op == "truncate":
            del buf[rng.randrange(n):]
        elif op in ("copy", "insert"):
            start = rng.randrange(n)
            chunk = bytes(buf[start:start + rng.randint(1, 256)])
            dest = rng.randrange(n)
            if op == "copy":
                buf[dest:dest + len(chunk)] = chunk
            else:
                buf[dest:dest] = chunk * rng.randint(1, 4)
        else:
            start = rng.randrange(n)
            del buf[start:start + rng.randint(1, 64)]
        done.append(op)
    return bytes(buf), "+".join(done)


def fuzz_bases():
    """The valid workbooks that fuzz cases start from, by label."""
    sheets = [("Params", parameter_rows(14)), ("Limits", parameter_rows(6, "L"))]
    return {
        "deflated": build_xlsx(sheets),
        "stored": build_xlsx(sheets, compression=zipfile.ZIP_STORED),
        "inline": build_xlsx(sheets, shared_strings=False),
    }


SHEET_TITLES = ("Params", "Limits")


NAME_TEXTS = ("", "   ", "P1", "P1 ", "get_value", "parameter_names", "_all_names",
              "_sheet_name", "name", "__dict__", "__class__", "sheet_name", "__init__",
              "x" * 5000, "\u540d\u524d", "a.b", "1abc", "\U0001d11e", "None")
TYPE_TEXTS = ("int", " INT ", "Eval", "eval", "auto", "bytes", "bool", "boolean", "float",
              "str", "string", "unicode", "bogus", "", " ", "Int\t")
VALUE_TEXTS = ("", " ", "0x1F", "08", "1e3", "3*4", "2.9", "nan", "inf", "-inf", "9" * 5000,
               "1_000", "True", "yes", "abc", "[1, 2]", "2**2**2**2**2", "10**100000", "(",
               "'str'", "\u00e9", "\U0001d11e", "-0", "1e400", "0b101", "-(-3)", "1/0")
NUMBER_TEXTS = ("0", "-1", "1e400", "-1e400", "nan", "inf", "4.9e-324", "1" * 400, "abc", "",
                "0x10", "2.5")
CELL_RE = re.compile(r'<c r="([A-Z]+)(\d+)"[^>]*?(?:/>|>.*?</c>)', re.S)


def _random_cell(rng, ref, column):
    kind = rng.randrange(9)
    if kind <= 2:
        pool = NAME_TEXTS if column == "F" else TYPE_TEXTS if column == "G" else VALUE_TEXTS
        return '<c r="%s" t="inlineStr"><is><t xml:space="preserve">%s</t></is></c>' % (
            ref, escape(rng.choice(pool)))
    if kind == 3:
        return '<c r="%s"><v>%s</v></c>' % (ref, rng.choice(NUMBER_TEXTS))
    if kind == 4:
        return '<c r="%s" t="b"><v>%s</v></c>' % (ref, rng.choice(("0", "1", "2", "x", "")))
    if kind == 5:
        return '<c r="%s" t="e"><v>%s</v></c>' % (ref, rng.choice(("#N/A", "#DIV/0!", "")))
    if kind == 6:
        return '<c r="%s" t="s"><v>%s</v></c>' % (ref, rng.choice(("0", "-1", "999999", "x", "")))
    if kind == 7:
        return '<c r="%s" t="d"><v>%s</v></c>' % (
            ref, rng.choice(("2024-02-30T00:00:00", "2024-01-01", "garbage", "")))
    return '<c r="%s" t="str"><f>1+1</f><v>%s</v></c>' % (ref, rng.choice(VALUE_TEXTS[:8]))


def edit_cells(doc, rng, max_edits=6):
    """Structure-aware damage to a sheet document: cells replaced by odd
    contents of every cell type, odd references, cells and rows removed or
    repeated.  The result is still well-formed XML."""
    for _ in range(rng.randint(1, max_edits)):
        cells = list(CELL_RE.finditer(doc))
        if not cells:
            break
        m = rng.choice(cells)
        col, row = m.group(1), m.group(2)
        kind = rng.randrange(10)
        if kind < 7:
            repl = _random_cell(rng, col + row, col)
        elif kind == 7:
            ref = rng.choice(("A0", "XFD1", "A1048577", "A99999999999", "F" + row, "G" + row))
            repl = m.group(0).replace('r="%s%s"' % (col, row), 'r="%s"' % ref, 1)
        elif kind == 8:
            repl = ""
        else:
            repl = m.group(0) * 2
        doc = doc[:m.start()] + repl + doc[m.end():]
    if rng.random() < 0.2:
        rows = re.findall(r'<row r="\d+"', doc)
        if rows:
            target = rng.choice(rows)
            doc = doc.replace(target, '<row r="%s"' % rng.choice(
                ("0", "-1", "1", "1048577", "99999999999", "2")), 1)
    if rng.random() < 0.2:
        doc = re.sub(r'<dimension ref="[^"]*"/>', '<dimension ref="%s"/>' % rng.choice(
            ("A1:G1", "A1:XFD1048576", "B2:A1", "garbage", "")), doc)
    return doc


def fuzz_case(case_seed, bases):
    """The workbook bytes for one fuzz case, and a short description.

    Four cases in ten damage the archive's bytes as they lie in the file;
    three damage one part's bytes and re-pack the archive, so that the
    damage reaches the XML readers past the zip checksums; three edit cells
    of a sheet so that the XML stays valid and odd values reach the loader.
    """
    rng = random.Random(case_seed)
    label = rng.choice(sorted(bases))
    base = bases[label]
    mode = rng.random()
    if mode < 0.4:
        data, ops = mutate(base, rng)
        return data, "%s file %s" % (label, ops)
    parts = read_parts(base)
    names = [n for n, _ in parts]
    if mode < 0.7:
        idx = rng.randrange(len(parts))
        content, ops = mutate(parts[idx][1], rng, max_ops=2)
    else:
        idx = names.index(sheet_part(rng.randint(1, len(SHEET_TITLES))))
        content, ops = edit_cells(parts[idx][1].decode("utf-8"), rng).encode("utf-8"), "cells"
    parts[idx] = (names[idx], content)
    return zip_parts(parts), "%s part %s %s" % (label, names[idx], ops)
