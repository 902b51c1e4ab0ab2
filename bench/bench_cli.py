"""testparams check and diff next to the library's own load of the same
sheets, in one process.

For each size a workbook of that many parameter rows is made once in
bench/data/: the mixed rows of bench_load.py, with the "eval" rows turned
into "float" rows for the default (safe) mode, and as they are for --eval.
Then, alternately:

  check:        testparams check BOOK              (stdout discarded)
  library:      BookParameters(BOOK, support_eval=False).load_sheet(sheet)
  check --eval: testparams check BOOK --eval   next to   the same load with support_eval=True
  diff:         testparams diff BOOK COPY      next to   both loads

and the medians are printed with their ratio (target: at most 2.0).

    python bench/bench_cli.py                     # 20,000 and 100,000 rows
    python bench/bench_cli.py --sizes 20000 --repeat 5
    python bench/bench_cli.py --quick             # 2,000 rows, 3 rounds
"""
import argparse
import contextlib
import io
import os
import shutil
import sys

import benchutil

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))  # the testparams package of this tree

SHEET = "Params"
TARGET = 2.0
LARGE = 50000


def safe_rows(count):
    for row in benchutil.mixed_rows(count):
        if row[6] == "eval":
            row = (row[0], 1.5, 1, 2, "V", row[5], "float")
        yield row


def workbook(size, with_eval):
    kind = "eval" if with_eval else "safe"
    path = benchutil.data_path("cli_%s_%d_v%d.xlsx" % (kind, size, benchutil.DATA_VERSION))
    if not os.path.exists(path):
        rows = benchutil.mixed_rows(size) if with_eval else safe_rows(size)
        benchutil._write_workbook(path, [(SHEET, rows)])
    copy = path[:-len(".xlsx")] + "_copy.xlsx"
    if not os.path.exists(copy):
        shutil.copyfile(path, copy)
    return path, copy


def run_cli(main, argv):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = main(argv)
    if status not in (0, 1):
        raise SystemExit("testparams %s: exit status %d" % (" ".join(argv), status))
    return out.getvalue()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    benchutil.add_clock_option(parser)
    benchutil.add_size_options(parser, "20000,100000", LARGE, 2000)
    args = parser.parse_args(argv)
    sizes = benchutil.sizes_of(args, 2000)
    benchutil.set_clock(args.clock)

    import orv_testparameters as module
    from testparams.cli import main as cli_main
    import testparams
    print(benchutil.describe_environment(module))
    print("testparams %s" % os.path.dirname(testparams.__file__))
    print("clock      %s" % args.clock)

    table = []
    for size in sizes:
        repeat = args.repeat if size < LARGE else min(args.repeat, args.repeat_large)
        for label, with_eval in (("check", False), ("check --eval", True), ("diff", False)):
            path, copy = workbook(size, with_eval)
            flags = ["--eval"] if with_eval else []
            if label == "diff":
                def command():
                    run_cli(cli_main, ["diff", path, copy] + flags)

                def library():
                    for book in (path, copy):
                        module.BookParameters(book, with_eval).load_sheet(SHEET)
            else:
                def command():
                    run_cli(cli_main, ["check", path] + flags)

                def library():
                    module.BookParameters(path, with_eval).load_sheet(SHEET)
            findings = run_cli(cli_main, [label.split()[0], path] + ([copy] if label == "diff"
                                                                      else []) + flags)
            cli_times, lib_times = benchutil.time_pair(command, library, repeat)
            cli_t, lib_t = benchutil.median(cli_times), benchutil.median(lib_times)
            ratio = cli_t / lib_t
            table.append((size, label, repeat, benchutil.fmt_seconds(cli_t),
                          benchutil.fmt_seconds(lib_t), "%.2f" % ratio,
                          "ok" if ratio <= TARGET else "ABOVE %.1f" % TARGET,
                          len(findings.splitlines())))
            print("  %d rows, %s: testparams %s, library %s" % (
                size, label, ", ".join("%.3f" % t for t in cli_times),
                ", ".join("%.3f" % t for t in lib_times)))
    print()
    benchutil.print_table(["rows", "command", "rounds", "testparams", "library load", "ratio",
                           "target <=%.1f" % TARGET, "lines printed"], table)
    print("(medians; the library loads the same sheets: one workbook for check, both for diff)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
