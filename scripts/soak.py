#!/usr/bin/env python3
"""Soak run: does anything grow when the module is used for a long time?

    python scripts/soak.py                       # 10,000 cycles, 100,000 rounds
    python scripts/soak.py --cycles 500 --rounds 5000 --every 100

Phase 1 runs cycles on a small workbook: open a book, load two sheets, look
up every parameter and its limits, set_value, save, save_as, and every so
often reload to check that the saved value arrived.  Phase 2 runs rounds in
which every in-memory method of the three classes is called once with good
arguments and once with bad ones (a bad call must raise an ordinary
exception, a good one must not raise).

At the start, every --every cycles (--every-rounds rounds) and at the end
it prints the
resident memory (from /proc/self/statm), the open descriptors (from
/proc/self/fd, as seen and after a garbage collection), the interpreter's
count of allocated memory blocks and the number of objects the garbage
collector tracks.  --json prints a summary object as the
last line, for the test that runs a short soak.
"""

import argparse
import gc
import json
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import xlsxgen  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def sample(label, count, collect=True):
    """One measurement: resident memory, descriptors as seen, descriptors
    and allocated blocks after a collection."""
    raw = open_fds()
    if collect:
        gc.collect()
    return {"label": label, "count": count, "rss": rss_bytes(), "fds_seen": raw,
            "fds": open_fds(), "blocks": sys.getallocatedblocks(),
            "objects": len(gc.get_objects()), "time": time.time()}


def show(s, out):
    out.write("%-8s %8d  rss %8.1f MiB  fds %3d (seen %3d)  blocks %9d  objects %8d\n"
              % (s["label"], s["count"], s["rss"] / 1048576.0, s["fds"], s["fds_seen"],
                 s["blocks"], s["objects"]))
    out.flush()


class Soak:
    def __init__(self, tp, folder):
        self.tp = tp
        self.folder = folder
        self.path = os.path.join(folder, "soak.xlsx")
        self.out = os.path.join(folder, "soak-copy.xlsx")
        sheets = [("Params", xlsxgen.parameter_rows(14)), ("Limits", xlsxgen.parameter_rows(6, "L"))]
        with open(self.path, "wb") as fh:
            fh.write(xlsxgen.build_xlsx(sheets))
        self.problems = []

    # Phase 1 ---------------------------------------------------------------

    def cycle(self, i):
        tp = self.tp
        book = tp.BookParameters(self.path)
        params = book.load_sheet("Params")
        book.load_sheet("Limits")
        for name in params.parameter_names:
            book.get_value(name)
            book.get_parameter(name)
            book.has_parameter(name)
            book.get_low(name, 0)
            book.get_up(name, 0)
        book.get_value("L3")
        book.get_parameter_from_sheet("L3", "Limits")
        book.set_value("P1", float(i))
        book.set_value("L2", bool(i % 2))
        book.save()
        book.save_as(self.out)
        if i % 100 == 0:
            check = tp.BookParameters(self.out)
            got = check.load_sheet("Params").get_value("P1")
            if got != float(i):
                self.problems.append("cycle %d: saved %r, read back %r" % (i, float(i), got))

    # Phase 2 ---------------------------------------------------------------

    def calls(self):
        """(label, good callable or None, bad callable or None) for every
        in-memory method.  Good calls must return, bad ones must raise."""
        tp = self.tp
        from openpyxl import load_workbook, Workbook

        book = tp.BookParameters(self.path)
        book.load_sheet("Params")
        book.load_sheet("Limits")
        table = tp.SheetParameters()
        table.set_parameter("Vcc", "supply", 3.3, 3.0, 3.6, "V", "float")
        table.set_parameter("Icc", "current", 10, 0, 20, "mA", "int")
        table.set_parameter("Mode", "mode", "fast", None, None, "", "str")
        loaded = tp.SheetParameters()
        wb = load_workbook(self.path)  # editable, kept for in-memory load/save
        target = Workbook()
        record = tp.Parameter("Vcc", "supply", 3.3, 3.0, 3.6, "V", "float")

        def rename_round_trip():
            book.sheet_rename("Params", "Renamed")
            book.sheet_rename("Renamed", "Params")

        def table_rename_round_trip():
            table.sheet_rename("T")
            table.name = "T2"

        return [
            ("Parameter()", lambda: tp.Parameter("p", "d", 1, 0, 2, "V", "int"),
             lambda: tp.Parameter(type="x")),
            ("SheetParameters()", lambda: tp.SheetParameters(False), lambda: tp.SheetParameters(1, 2)),
            ("BookParameters()", lambda: tp.BookParameters(self.path, True), lambda: tp.BookParameters()),
            ("sheet_name", lambda: table.sheet_name(), lambda: table.sheet_name(1)),
            ("sheet_rename", table_rename_round_trip, lambda: table.sheet_rename("")),
            ("name", lambda: table.name, lambda: setattr(table, "name", 5)),
            ("parameter_names", lambda: table.parameter_names,
             lambda: setattr(table, "parameter_names", [])),
            ("set_parameter", lambda: table.set_parameter(record, "ignored"),
             lambda: table.set_parameter(5, "not a name")),
            ("set_parameter(args)", lambda: table.set_parameter("Extra", "d", 1),
             lambda: table.set_parameter("Extra", bogus=1)),
            ("get_parameter", lambda: table.get_parameter("Vcc"), lambda: table.get_parameter("nope")),
            ("get_parameter(False)", lambda: table.get_parameter("nope", False),
             lambda: table.get_parameter()),
            ("has_parameter", lambda: table.has_parameter("Icc"), lambda: table.has_parameter()),
            ("get_value", lambda: table.get_value("Icc", 7), lambda: table.get_value()),
            ("get", lambda: table.get("nope", 7), lambda: table.get(1, 2, 3)),
            ("set_value", lambda: table.set_value("Icc", 11), lambda: table.set_value("nope", 1)),
            ("set", lambda: table.set("Mode", "slow"), lambda: table.set("nope", 1)),
            ("get_prefix_count", lambda: table.get_prefix_count("V"), lambda: table.get_prefix_count(5)),
            ("get_prefix_names", lambda: table.get_prefix_names(("V", "I")),
             lambda: table.get_prefix_names(None)),
            ("get_prefix_parameters", lambda: table.get_prefix_parameters(""),
             lambda: table.get_prefix_parameters(5)),
            ("get_postfix_count", lambda: table.get_postfix_count("cc"),
             lambda: table.get_postfix_count(5)),
            ("get_postfix_names", lambda: table.get_postfix_names("de"),
             lambda: table.get_postfix_names(None)),
            ("get_postfix_parameters", lambda: table.get_postfix_parameters("c"),
             lambda: table.get_postfix_parameters(5)),
            ("_parse_value int", lambda: table._parse_value(" 0x1F ", "Int "),
             lambda: table._parse_value("abc", "int")),
            ("_parse_value float", lambda: table._parse_value(3, "float"),
             lambda: table._parse_value("1,5", "float")),
            ("_parse_value bool", lambda: table._parse_value("yes", "bool"),
             lambda: table._parse_value("x", "bogus")),
            ("_parse_value str", lambda: table._parse_value(12, None),
             lambda: table._parse_value(1, 5)),
            ("_parse_value bytes", lambda: table._parse_value(" b\u00e9 ", "bytes"),
             lambda: table._parse_value(1, None, "nonsense")),
            ("_parse_value auto", lambda: table._parse_value(None, "auto"),
             lambda: table._parse_value("08", "int")),
            ("_parse_value eval", lambda: table._parse_value("[1, 2]", "eval"),
             lambda: tp.SheetParameters(False)._parse_value("[1]", "eval")),
            ("load(book)", lambda: loaded.load(wb, "Params"), lambda: loaded.load(wb, "Limits")),
            ("save(book)", lambda: table.save(target), lambda: table.save(None)),
            ("get_all_sheet_names", lambda: book.get_all_sheet_names(),
             lambda: book.get_all_sheet_names(1)),
            ("has_sheet", lambda: book.has_sheet("Params"), lambda: book.has_sheet()),
            ("get_sheet_parameters", lambda: book.get_sheet_parameters("Limits"),
             lambda: book.get_sheet_parameters("nope")),
            ("get_sheet_parameters(False)", lambda: book.get_sheet_parameters("nope", 0),
             lambda: book.get_sheet_parameters()),
            ("book.sheet_rename", rename_round_trip, lambda: book.sheet_rename(1, "x")),
            ("book.sheet_rename exists", None, lambda: book.sheet_rename("Params", "Limits")),
            ("book.sheet_rename missing", None, lambda: book.sheet_rename("nope", "x")),
            ("unload_sheet", lambda: book.unload_sheet("nope"), lambda: book.unload_sheet()),
            ("book.get_parameter", lambda: book.get_parameter("P3"), lambda: book.get_parameter("nope")),
            ("book.get_parameter_from_sheet", lambda: book.get_parameter_from_sheet("L1", "Limits"),
             lambda: book.get_parameter_from_sheet("L1", "nope")),
            ("book.has_parameter", lambda: book.has_parameter("L1"), lambda: book.has_parameter()),
            ("book.get_value", lambda: book.get_value("nope", 0), lambda: book.get_value("nope")),
            ("book.get", lambda: book.get("P2"), lambda: book.get("nope", None)),
            ("book.set_value", lambda: book.set_value("P4", "x"), lambda: book.set_value("nope", 1)),
            ("book.set", lambda: book.set("P3", "text"), lambda: book.set("nope", 1)),
            ("get_low", lambda: book.get_low("P0", None, book.LIMIT_MODE_RELATIVE),
             lambda: book.get_low("P2", None, 1)),
            ("get_up", lambda: book.get_up("nope", 5, 1), lambda: book.get_up("nope")),
        ]

    def round(self, entries):
        for label, good, bad in entries:
            try:
                if good is not None:
                    good()
            except Exception as exc:
                self.problems.append("%s: good call raised %r" % (label, exc))
            if bad is None:
                continue
            try:
                bad()
            except SystemError as exc:
                self.problems.append("%s: bad call raised SystemError %r" % (label, exc))
            except Exception:
                pass
            else:
                self.problems.append("%s: bad call returned" % label)


def run(cycles, rounds, every, warmup, out=sys.stdout, every_rounds=None):
    every_rounds = every_rounds or every
    import orv_testparameters as tp
    folder = tempfile.mkdtemp(prefix="tp-soak-")
    soak = Soak(tp, folder)
    samples = {"cycles": [], "rounds": []}
    try:
        out.write("soak: %d cycles, %d rounds, sample every %d cycles and %d rounds, "
                  "warm-up %d, module %s\n"
                  % (cycles, rounds, every, every_rounds, warmup, tp.__file__))
        show(sample("start", 0), out)

        def phase(name, step, count, step_every):
            """Warm-up, then `count` steps sampled every `step_every`, then a last sample."""
            for i in range(warmup):
                step(i)
            for i in range(count):
                if i % step_every == 0:
                    samples[name].append(sample(name, i))
                    show(samples[name][-1], out)
                step(i)
            samples[name].append(sample(name, count))
            show(samples[name][-1], out)

        phase("cycles", soak.cycle, cycles, every)
        entries = soak.calls()
        phase("rounds", lambda i: soak.round(entries), rounds, every_rounds)
        out.write("methods called per round: %d (good and bad)\n" % len(entries))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    problems = sorted(set(soak.problems))
    for p in problems[:50]:
        out.write("PROBLEM %s\n" % p)
    return samples, problems


def summary(samples, problems):
    result = {"problems": problems}
    for phase, seq in samples.items():
        first, last = seq[0], seq[-1]
        result[phase] = {
            "rss_growth": last["rss"] - first["rss"],
            "rss_start": first["rss"],
            "fds_start": first["fds"], "fds_end": last["fds"],
            "fds_seen_max": max(s["fds_seen"] for s in seq),
            "blocks_growth": last["blocks"] - first["blocks"],
            "objects_growth": last["objects"] - first["objects"],
            # Growth from one sample to the next: a leak shows in every step,
            # the interpreter's caches filling up in a few.
            "blocks_steps": [b["blocks"] - a["blocks"] for a, b in zip(seq, seq[1:])],
            "objects_steps": [b["objects"] - a["objects"] for a, b in zip(seq, seq[1:])],
            "seconds": last["time"] - first["time"],
        }
    return result


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cycles", type=int, default=10000, help="load/save cycles (default 10000)")
    ap.add_argument("--rounds", type=int, default=100000,
                    help="rounds of calls of every in-memory method (default 100000)")
    ap.add_argument("--every", type=int, default=1000, help="sample every N cycles (and rounds)")
    ap.add_argument("--every-rounds", type=int, help="sample every N rounds (default: --every)")
    ap.add_argument("--warmup", type=int, default=100, help="cycles and rounds before measuring")
    ap.add_argument("--json", action="store_true", help="print a summary object as the last line")
    args = ap.parse_args(argv)
    samples, problems = run(args.cycles, args.rounds, max(1, args.every), args.warmup,
                            every_rounds=args.every_rounds)
    result = summary(samples, problems)
    for phase in ("cycles", "rounds"):
        r = result[phase]
        print("%s: rss %+.2f MiB, fds %d -> %d (max seen %d), blocks %+d, objects %+d, %.1f s"
              % (phase, r["rss_growth"] / 1048576.0, r["fds_start"], r["fds_end"],
                 r["fds_seen_max"], r["blocks_growth"], r["objects_growth"], r["seconds"]))
    if args.json:
        print(json.dumps(result))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
