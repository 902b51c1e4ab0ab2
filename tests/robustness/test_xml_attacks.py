"""Workbooks whose XML carries entity declarations: loading refuses them
quickly, in bounded memory, and never shows the expanded or fetched text."""

import pyexpat
import subprocess

import pytest

import childrun
import xlsxgen as g

ROWS = g.parameter_rows(3)
SECRET = "secret-marker-7f3a"

# Runs in a child under an address-space limit; reports what happened as JSON.
CHILD = r"""
import json, resource, sys, time
import childrun, orv_testparameters, openpyxl
path, sheet = sys.argv[1], sys.argv[2]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
book = orv_testparameters.BookParameters(path)
start = time.time()
report = {"defusedxml": bool(getattr(openpyxl, "DEFUSEDXML", False)),
          "lxml": bool(getattr(openpyxl, "LXML", False))}
try:
    table = book.load_sheet(sheet)
except Exception as exc:
    report["outcome"] = "raised"
    report["chain"] = childrun.exception_chain(exc)
    report["message"] = str(exc)[:300]
else:
    report["outcome"] = "loaded"
    report["values"] = [repr(table.get_parameter(n).__dict__) for n in table.parameter_names]
report["seconds"] = time.time() - start
report["growth_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
report["loaded_sheets"] = book.get_all_sheet_names()
print(json.dumps(report))
"""


def _attack(kind, root, secret_url):
    if kind == "laughs":
        prolog, ref = g.laughs_doctype(root)
        return prolog, ref, 1
    if kind == "quadratic":
        prolog, ref = g.quadratic_doctype(root)
        return prolog, ref, 20000
    prolog, ref = g.external_doctype(root, secret_url)
    return prolog, ref, 1


def hostile_workbook(tmp_path, kind, part):
    secret = tmp_path / "secret.txt"
    secret.write_text(SECRET)
    url = "file://%s" % secret
    if part == "sheet":
        prolog, ref, count = _attack(kind, "worksheet", url)
        replace = {g.sheet_part(1): g.hostile_sheet_xml(ROWS, prolog, ref, count)}
    elif part == "strings":
        prolog, ref, count = _attack(kind, "sst", url)
        plain = dict(g.read_parts(g.build_xlsx([("Params", ROWS)])))
        items = _shared_items(plain[g.SHARED_STRINGS])
        replace = {g.SHARED_STRINGS: g.hostile_strings_xml(items, prolog, ref, count)}
    else:
        prolog, ref, count = _attack(kind, "workbook", url)
        doc = dict(g.read_parts(g.build_xlsx([("Params", ROWS)])))[g.WORKBOOK].decode()
        decl, body = doc.split("\n", 1)
        body = body.replace('name="Params"', 'name="Params%s"' % (ref * count))
        replace = {g.WORKBOOK: decl + "\n" + prolog + body}
    path = tmp_path / ("%s-%s.xlsx" % (kind, part))
    path.write_bytes(g.build_xlsx([("Params", ROWS)], replace=replace))
    return str(path)


def _shared_items(doc):
    import xml.etree.ElementTree as ET
    ns = {"m": g.MAIN_NS}
    return [si.findtext("m:t", "", ns) for si in ET.fromstring(doc).findall("m:si", ns)]


def run_child(path, env=None):
    try:
        code, report, out, err = childrun.run_json(
            CHILD, timeout=60, memory=1024 * childrun.MIB, env=env, args=[path, "Params"])
    except subprocess.TimeoutExpired:
        pytest.fail("loading %s did not finish within 60 s" % path)
    assert code == 0 and report is not None, "child %s\n%s" % (childrun.describe_exit(code), err[-3000:])
    return report


def check_refused(report):
    assert report["outcome"] == "raised", report
    chain = report["chain"]
    assert not any(name.endswith("MemoryError") for name in chain), chain
    assert not any(name.endswith("SystemError") for name in chain), chain
    assert report["growth_kib"] < 512 * 1024, report
    assert report["loaded_sheets"] == []


KINDS = ["laughs", "quadratic", "external"]
PARTS = ["sheet", "strings", "workbook"]


@pytest.mark.parametrize("part", PARTS)
@pytest.mark.parametrize("kind", KINDS)
def test_entity_declarations_are_refused(tmp_path, kind, part):
    report = run_child(hostile_workbook(tmp_path, kind, part))
    assert report["defusedxml"], "openpyxl is not using defusedxml"
    check_refused(report)
    # Sheets and shared strings are streamed through defusedxml; with lxml
    # present openpyxl parses the workbook part with lxml, entities unresolved.
    refuser = "lxml." if part == "workbook" and report["lxml"] else "defusedxml."
    assert any(name.startswith(refuser) for name in report["chain"]), report["chain"]
    assert SECRET not in report["message"]


@pytest.mark.skipif(pyexpat.version_info < (2, 4, 0),
                    reason="expat before 2.4 has no amplification limit")
@pytest.mark.parametrize("part", ["sheet", "strings"])
@pytest.mark.parametrize("kind", KINDS)
def test_stdlib_parser_also_bounded(tmp_path, kind, part):
    # openpyxl falls back to the standard library's parser when defusedxml is
    # missing or switched off; expat's own limits must then hold the line.
    report = run_child(hostile_workbook(tmp_path, kind, part), env={"OPENPYXL_DEFUSEDXML": "False"})
    assert not report["defusedxml"]
    check_refused(report)
    assert SECRET not in report["message"]


def test_plain_doctype_still_loads(tmp_path):
    # A DOCTYPE without entity declarations is harmless and must not be refused.
    doc = g.sheet_xml(ROWS, None, True, "<!DOCTYPE worksheet>\n")
    path = tmp_path / "doctype.xlsx"
    path.write_bytes(g.build_xlsx([("Params", ROWS)], replace={g.sheet_part(1): doc}))
    report = run_child(str(path))
    assert report["outcome"] == "loaded", report
    assert len(report["values"]) == 3
