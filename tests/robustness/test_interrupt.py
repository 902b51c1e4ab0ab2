"""A KeyboardInterrupt that arrives while a large sheet loads reaches the
caller as itself, the book's loaded sheets stay as they were, and the next
load works.  Each way of interrupting runs in a child, so that a stray
interrupt can never reach the test runner."""

import subprocess

import pytest

import childrun
import xlsxgen as g

pytestmark = pytest.mark.slow

BIG_ROWS = 20000

CHILD = r"""
import gc, json, os, signal, sys, threading, time, _thread
import childrun, orv_testparameters as tp

path, method = sys.argv[1], sys.argv[2]
state = {"in_load": False, "missed": 0}

def handler(signum, frame):
    if state["in_load"]:
        raise KeyboardInterrupt
    state["missed"] += 1

signal.signal(signal.SIGALRM, handler)
signal.signal(signal.SIGINT, handler)

def arm(delay):
    if method == "setitimer":
        signal.setitimer(signal.ITIMER_REAL, delay)
        return lambda: signal.setitimer(signal.ITIMER_REAL, 0)
    if method == "interrupt_main":
        timer = threading.Timer(delay, _thread.interrupt_main)
    else:
        timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    def disarm():
        timer.cancel()
        timer.join()
    return disarm

def interrupted_load(book, sheet):
    # Shorter delays until the interrupt lands inside load_sheet.
    for delay in (0.3, 0.1, 0.03, 0.01, 0.003):
        disarm = arm(delay)
        state["in_load"] = True
        try:
            book.load_sheet(sheet)
        except BaseException as exc:
            state["in_load"] = False
            disarm()
            return {"delay": delay, "chain": childrun.exception_chain(exc),
                    "is_keyboard_interrupt": type(exc) is KeyboardInterrupt}
        finally:
            state["in_load"] = False
        disarm()
    return {"delay": None}

def fds():
    gc.collect()
    return len(os.listdir("/proc/self/fd"))

report = {}
book = tp.BookParameters(path)
small = book.load_sheet("Small")
small_values = [small.get_value(n) for n in small.parameter_names]
fds_before = fds()

# 1. A first load of the big sheet is interrupted: it does not become loaded.
report["first"] = interrupted_load(book, "Big")
report["first"]["names"] = book.get_all_sheet_names()
report["first"]["small_same"] = book.get_sheet_parameters("Small") is small
report["first"]["fds_kept"] = fds() - fds_before

# 2. The next load works.
big = book.load_sheet("Big")
report["loaded_count"] = len(big.parameter_names)

# 3. A reload of the big sheet is interrupted: both sheets stay, same objects.
report["reload"] = interrupted_load(book, "Big")
report["reload"]["names"] = book.get_all_sheet_names()
report["reload"]["same_objects"] = (book.get_sheet_parameters("Small") is small
                                    and book.get_sheet_parameters("Big") is big)
report["reload"]["big_count"] = len(big.parameter_names)
report["reload"]["fds_kept"] = fds() - fds_before

# 4. And the next reload works, into the same object.
again = book.load_sheet("Big")
report["reloaded_same"] = again is big
report["reloaded_count"] = len(big.parameter_names)
report["small_values_same"] = [small.get_value(n) for n in small.parameter_names] == small_values
report["missed"] = state["missed"]
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def big_book(tmp_path_factory):
    path = tmp_path_factory.mktemp("interrupt") / "big.xlsx"
    path.write_bytes(g.build_xlsx([("Small", g.parameter_rows(5, "S")),
                                   ("Big", g.parameter_rows(BIG_ROWS))]))
    return str(path)


@pytest.mark.parametrize("method", ["setitimer", "interrupt_main", "sigint"])
def test_interrupt_during_load(big_book, method):
    try:
        code, report, out, err = childrun.run_json(
            CHILD, timeout=600, memory=None, args=[big_book, method])
    except subprocess.TimeoutExpired:
        pytest.fail("the interrupted loads did not finish within 600 s")
    assert code == 0 and report is not None, "child %s\n%s\n%s" % (
        childrun.describe_exit(code), out[-2000:], err[-3000:])
    for phase in ("first", "reload"):
        r = report[phase]
        assert r["delay"] is not None, "no interrupt landed inside load_sheet: %r" % report
        assert r["is_keyboard_interrupt"], r["chain"]
        assert r["fds_kept"] == 0, report
    assert report["first"]["names"] == ["Small"]
    assert report["first"]["small_same"]
    assert report["loaded_count"] == BIG_ROWS
    assert report["reload"]["names"] == ["Small", "Big"]
    assert report["reload"]["same_objects"]
    assert report["reload"]["big_count"] == BIG_ROWS
    assert report["reloaded_same"]
    assert report["reloaded_count"] == BIG_ROWS
    assert report["small_values_same"]
