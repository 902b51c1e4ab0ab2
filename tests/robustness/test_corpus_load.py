"""Every sheet of every workbook of the corpus of real files (../shared/corpus
beside the project) loads, or fails with openpyxl's own error, with the
module's refusal of a chart sheet, or with an error that says which cell it
came from; nothing crashes and nothing is left open or allocated. Skipped
where the corpus is missing."""

import os

import pytest

import childrun

CORPUS = os.path.normpath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, os.pardir,
                                       "shared", "corpus", "calamine"))

CHILD = r"""
import gc, json, os, sys, traceback, zipfile
import openpyxl, orv_testparameters as tp

folder = sys.argv[1]
library_dirs = tuple(os.path.dirname(m.__file__) + os.sep for m in (openpyxl, zipfile))

def classify(exc):
    notes = getattr(exc, "__notes__", None) or []
    if any(n.startswith("while loading ") for n in notes):
        return "located"
    if type(exc) is ValueError and str(exc).startswith('Sheet "'):
        return "refused"  # the module's own: a chart sheet
    frames = traceback.extract_tb(exc.__traceback__)
    if frames and frames[-1].filename.startswith(library_dirs):
        return "library"
    return "other: %s: %s" % (type(exc).__name__, str(exc)[:200])

def load_all():
    outcomes = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        try:
            book = openpyxl.load_workbook(path, read_only=True)
            titles = book.sheetnames
            book.close()
        except Exception as exc:
            outcomes[name] = classify(exc)
            continue
        for title in titles:
            try:
                tp.BookParameters(path, support_eval=False).load_sheet(title)
                outcome = "ok"
            except Exception as exc:
                outcome = classify(exc)
            outcomes["%s[%s]" % (name, title)] = outcome
    return outcomes

fds = lambda: len(os.listdir("/proc/self/fd"))
gc.collect()
before = fds()
first = load_all()
gc.collect()
after_first = fds(), len(gc.get_objects())
second = load_all()
gc.collect()
print(json.dumps({"outcomes": first, "same": first == second, "fds": [before, after_first[0], fds()],
                  "objects": [after_first[1], len(gc.get_objects())]}))
"""


@pytest.mark.skipif(not os.path.isdir(CORPUS), reason="the corpus of real workbooks is not beside the project")
@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
def test_every_corpus_sheet_loads_or_fails_with_a_known_error():
    code, report, out, err = childrun.run_json(CHILD, timeout=600, memory=None, args=[CORPUS])
    assert code == 0 and report, "%s\n%s\n%s" % (childrun.describe_exit(code), out[-2000:], err[-3000:])
    outcomes = report["outcomes"]
    others = {k: v for k, v in outcomes.items() if v not in ("ok", "library", "located", "refused")}
    assert not others, others
    assert sum(v == "ok" for v in outcomes.values()) > len(outcomes) // 2, outcomes
    assert report["same"]
    before, after_first, after_second = report["fds"]
    assert after_first == before and after_second == before, report["fds"]
    grown = report["objects"][1] - report["objects"][0]
    assert grown < 200, report["objects"]
