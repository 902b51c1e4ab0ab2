#!/usr/bin/env python3
"""Seeded fuzzing of workbook loading and saving.

    python scripts/fuzz.py --cases 20000 --seed 1 --jobs 2
    python scripts/fuzz.py --replay 3735928559 --keep /tmp/case.xlsx

Every case takes a valid parameter workbook, damages it (bit flips,
truncations, chunk copies, inserted and deleted runs; either in the file's
bytes or in one part's XML, re-packed), and runs load_sheet on each sheet,
look-ups on whatever loaded, save_as into a new file and save into the
damaged one.  A case passes when every step returns or raises an ordinary
exception (never SystemError), a save that raises leaves the file as it
was, and the sheets that save_as wrote load again.

Cases run in worker processes, many per worker.  A worker announces each
case's seed before running it, so a crash or a hang names its case: the
parent reports that seed and goes on with the rest of the batch in a new
worker.  --replay runs one case in this process and shows its traceback.
"""

import argparse
import collections
import os
import queue
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import childrun  # noqa: E402
import xlsxgen  # noqa: E402

SELFTEST_ENV = "TESTPARAMETERS_FUZZ_SELFTEST"


def case_seeds(seed, cases):
    master = random.Random(seed)
    return [master.getrandbits(32) for _ in range(cases)]


class Violation(Exception):
    """A case broke a rule that an exception alone does not excuse."""


def run_case(case_seed, bases, workdir, tp):
    """Run one case; return its outcome: "ok" or the name of the first
    exception type met.  Raises Violation for a broken rule."""
    data, _ = xlsxgen.fuzz_case(case_seed, bases)
    path = os.path.join(workdir, "case.xlsx")
    out = os.path.join(workdir, "out.xlsx")
    for name in (path, out):
        if os.path.exists(name):
            os.remove(name)
    with open(path, "wb") as fh:
        fh.write(data)
    outcome = []

    def attempt(step, func, *args):
        """(True, result) or (False, exception)."""
        try:
            return True, func(*args)
        except Exception as exc:
            if isinstance(exc, SystemError):
                raise Violation("%s raised SystemError: %r" % (step, exc))
            outcome.append(type(exc).__name__)
            return False, exc

    book = tp.BookParameters(path, support_eval=False)
    for title in xlsxgen.SHEET_TITLES:
        attempt("load_sheet", book.load_sheet, title)
    # A parameter may carry the name of one of the table's own members, so
    # even the listing calls can fail here.
    ok, titles = attempt("get_all_sheet_names", book.get_all_sheet_names)
    titles = titles if ok else []
    for title in titles:
        ok, names = attempt("parameter_names", lambda: book.get_sheet_parameters(title).parameter_names)
        for name in names if ok else ():
            attempt("get_value", book.get_value, name)
            attempt("get_low", book.get_low, name, 0)
            attempt("get_up", book.get_up, name, 0)
            attempt("get_parameter_from_sheet", book.get_parameter_from_sheet, name, title)
    saved_as, _ = attempt("save_as", book.save_as, out)
    if saved_as:
        # What save_as wrote from sheets that loaded must load again.
        copy = tp.BookParameters(out, support_eval=False)
        for title in titles:
            try:
                copy.load_sheet(title)
            except Exception as exc:
                raise Violation("save_as wrote a file whose sheet %r does not load again: %r" % (title, exc))
    saved, error = attempt("save", book.save)
    if not saved:
        with open(path, "rb") as fh:
            if fh.read() != data:
                raise Violation("save raised %r and changed the file" % (error,))
    return outcome[0] if outcome else "ok"


def _selftest(case_seed):
    selftest = os.environ.get(SELFTEST_ENV, "")
    if not selftest:
        return
    action, _, target = selftest.partition(":")
    if str(case_seed) == target:
        sys.stdout.flush()
        if action == "crash":
            os.abort()
        if action == "hang":
            time.sleep(3600)


def worker(seeds):
    import orv_testparameters as tp
    bases = xlsxgen.fuzz_bases()
    workdir = tempfile.mkdtemp(prefix="tp-fuzz-")
    try:
        for case_seed in seeds:
            print("START %d" % case_seed, flush=True)
            _selftest(case_seed)
            try:
                result = run_case(case_seed, bases, workdir, tp)
            except Violation as exc:
                print("FAIL %d %s" % (case_seed, str(exc).replace("\n", " ")), flush=True)
                continue
            print("END %d %s" % (case_seed, result), flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


class Report:
    def __init__(self):
        self.outcomes = collections.Counter()
        self.failures = []  # (seed, kind, detail)
        self.lock = threading.Lock()

    def done(self, outcome):
        with self.lock:
            self.outcomes[outcome] += 1

    def fail(self, seed, kind, detail):
        with self.lock:
            self.failures.append((seed, kind, detail))
            self.outcomes[kind] += 1


def _reader(stream, lines):
    for line in iter(stream.readline, ""):
        lines.put(line.rstrip("\n"))
    lines.put(None)


def run_batch(seeds, report, timeout, memory, env=None):
    """Run `seeds` in workers until each has ended, failed, crashed or hung."""
    pending = list(seeds)
    while pending:
        errfile = tempfile.TemporaryFile(mode="w+")
        proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--worker"] + [str(s) for s in pending],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=errfile,
            env=childrun.child_env(env), preexec_fn=childrun.address_limit(memory),
            universal_newlines=True)
        lines = queue.Queue()
        thread = threading.Thread(target=_reader, args=(proc.stdout, lines), daemon=True)
        thread.start()
        current = None
        hung = False
        while True:
            try:
                line = lines.get(timeout=timeout)
            except queue.Empty:
                hung = True
                proc.kill()
                break
            if line is None:
                break
            word, _, rest = line.partition(" ")
            seed_text, _, detail = rest.partition(" ")
            if word == "START":
                current = int(seed_text)
            elif word in ("END", "FAIL") and current is not None and int(seed_text) == current:
                if word == "END":
                    report.done(detail)
                else:
                    report.fail(current, "violation", detail)
                pending.remove(current)
                current = None
        proc.wait()
        thread.join(5)
        errfile.seek(0)
        err_tail = errfile.read()[-2000:]
        errfile.close()
        if current is not None:
            if hung:
                report.fail(current, "hang", "no progress for %s s" % timeout)
            else:
                report.fail(current, "crash", "%s\n%s" % (childrun.describe_exit(proc.returncode), err_tail))
            pending.remove(current)
        elif pending:
            # The worker died between cases (e.g. at start-up): nothing to
            # blame on a case, and retrying would loop.
            for seed in pending:
                report.fail(seed, "worker", "%s before the case started\n%s"
                            % (childrun.describe_exit(proc.returncode), err_tail))
            pending = []


def run_campaign(cases, seed, jobs=1, batch=250, timeout=120,
                 memory=2048 * childrun.MIB, env=None, seeds=None):
    """Run a campaign; returns the Report."""
    if seeds is None:
        seeds = case_seeds(seed, cases)
    batches = queue.Queue()
    for i in range(0, len(seeds), batch):
        batches.put(seeds[i:i + batch])
    report = Report()

    def drain():
        while True:
            try:
                chunk = batches.get_nowait()
            except queue.Empty:
                return
            run_batch(chunk, report, timeout, memory, env)

    threads = [threading.Thread(target=drain) for _ in range(max(1, jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return report


def replay(case_seed, keep=None):
    import orv_testparameters as tp
    bases = xlsxgen.fuzz_bases()
    data, desc = xlsxgen.fuzz_case(case_seed, bases)
    print("case %d: %s, %d bytes" % (case_seed, desc, len(data)))
    if keep:
        with open(keep, "wb") as fh:
            fh.write(data)
        print("written to %s" % keep)
    workdir = tempfile.mkdtemp(prefix="tp-fuzz-")
    try:
        print("outcome:", run_case(case_seed, bases, workdir, tp))
    except Violation:
        traceback.print_exc()
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


def describe(report, elapsed=None):
    lines = []
    total = sum(report.outcomes.values())
    head = "%d cases" % total
    if elapsed is not None:
        head += " in %.1f s" % elapsed
    lines.append(head + ", %d failures" % len(report.failures))
    for outcome, count in report.outcomes.most_common():
        lines.append("  %6d  %s" % (count, outcome))
    for seed, kind, detail in report.failures:
        lines.append("FAILED case %d (%s): %s" % (seed, kind, detail.strip()))
        lines.append("  replay: python scripts/fuzz.py --replay %d" % seed)
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cases", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--batch", type=int, default=250, help="cases per worker process")
    ap.add_argument("--timeout", type=float, default=120, help="seconds a case may take")
    ap.add_argument("--replay", type=int, help="run this one case seed here")
    ap.add_argument("--keep", help="with --replay: write the case's file here")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("seeds", nargs="*", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        worker(args.seeds)
        return 0
    if args.replay is not None:
        return replay(args.replay, args.keep)
    start = time.time()
    report = run_campaign(args.cases, args.seed, args.jobs, args.batch, args.timeout)
    print(describe(report, time.time() - start))
    return 1 if report.failures else 0


if __name__ == "__main__":
    sys.exit(main())
