"""Sheet loading speed: SheetParameters.load next to openpyxl's own read of
the same sheet, in one process.

For each size a workbook of that many parameter rows of mixed variable types
(str, no type, int, float, bool, auto, eval, string; with and without limits
and units) is made once in bench/data/.  Then, alternately:

  module:   SheetParameters().load(load_workbook(path, read_only=True,
                                                 data_only=True), sheet)
  openpyxl: load_workbook(path, read_only=True, data_only=True) and one
            ws.iter_rows(min_row=2, max_col=7, values_only=True) pass

  records:  the same open and pass, keeping one plain-Python record of the
            row's seven cells per row, set as an attribute of a table
            object under its name and the name appended to a list: the
            least that any load keeping what it read must add to the pass

and the medians are printed with their ratios (target: module at most 1.10 x
openpyxl at 10,000 rows and more; "records" shows how much of that share
keeping the records costs by itself on this machine).

    python bench/bench_load.py                          # 1k, 10k, 100k rows
    python bench/bench_load.py --sizes 1000,10000 --repeat 7
    python bench/bench_load.py --quick                  # 1k rows, 3 rounds
"""
import argparse
import sys

import openpyxl

import benchutil

SHEET = "Params"
TARGET = 1.10
TARGET_FROM_ROWS = 10000
LARGE = 50000


def expected_records(pyref, path):
    """(name, desc, value, low, up, unit, type) of every row, converted by the
    reference's _parse_value from the raw cells openpyxl reads."""
    parser = pyref.SheetParameters()
    wb = openpyxl.load_workbook(path, read_only=True, data_only=True)
    out = []
    for desc, value, low, up, unit, name, _type in wb[SHEET].iter_rows(min_row=2, max_col=7, values_only=True):
        out.append((name, desc, parser._parse_value(value, _type), parser._parse_value(low, _type),
                    parser._parse_value(up, _type), unit, _type))
    wb.close()
    return out


class Record(object):
    __slots__ = ("name", "desc", "value", "low", "up", "unit", "type")

    def __init__(self, name, desc, value, low, up, unit, type_):
        self.name, self.desc, self.value, self.low = name, desc, value, low
        self.up, self.unit, self.type = up, unit, type_


class Table(object):
    pass


def check_table(table, expected):
    names = table.parameter_names
    if names != [rec[0] for rec in expected]:
        return "parameter names differ (%d loaded, %d expected)" % (len(names), len(expected))
    for rec in expected:
        p = table.get_parameter(rec[0])
        got = (p.name, p.desc, p.value, p.low, p.up, p.unit, p.type)
        if got != rec or any(type(a) is not type(b) for a, b in zip(got, rec)):
            return "record %s differs: %r, expected %r" % (rec[0], got, rec)
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    benchutil.add_module_option(parser)
    benchutil.add_clock_option(parser)
    benchutil.add_size_options(parser, "1000,10000,100000", LARGE, 1000,
                               repeat_help="timed rounds per size (median reported)")
    parser.add_argument("--gc", action="store_true",
                        help="keep the cyclic garbage collector on while timing (off by default, as in timeit)")
    args = parser.parse_args(argv)
    sizes = benchutil.sizes_of(args, 1000)

    benchutil.set_clock(args.clock)
    module = benchutil.import_module(args.module)
    pyref = benchutil.import_pyref()
    print(benchutil.describe_environment(module))
    print("clock      %s" % args.clock)
    print("garbage collector during timing: %s" % ("on" if args.gc else "off"))

    rows = []
    for size in sizes:
        path = benchutil.mixed_workbook(size, SHEET)
        repeat = args.repeat if size < LARGE else min(args.repeat, args.repeat_large)
        keep = []

        def module_load():
            table = module.SheetParameters()
            table.load(openpyxl.load_workbook(path, read_only=True, data_only=True), SHEET)
            keep.append(table)

        def openpyxl_read():
            wb = openpyxl.load_workbook(path, read_only=True, data_only=True)
            for row in wb[SHEET].iter_rows(min_row=2, max_col=7, values_only=True):
                pass
            keep.append(wb)

        def records_read():
            wb = openpyxl.load_workbook(path, read_only=True, data_only=True)
            table, names = Table(), []
            for desc, value, low, up, unit, name, type_ in wb[SHEET].iter_rows(min_row=2, max_col=7,
                                                                                 values_only=True):
                setattr(table, name, Record(name, desc, value, low, up, unit, type_))
                names.append(name)
            keep.append(table)

        # Untimed first round of each, which also checks what the module read.
        module_load()
        problem = check_table(keep[0], expected_records(pyref, path))
        if problem:
            print("%d rows: module loaded wrong data: %s; not timing." % (size, problem))
            return 1
        openpyxl_read()
        keep.clear()

        mod_times, opx_times, rec_times = benchutil.time_side_by_side(
            [module_load, openpyxl_read, records_read], repeat, setup=keep.clear, gc_off=not args.gc)
        keep.clear()
        mod, opx, rec = benchutil.median(mod_times), benchutil.median(opx_times), benchutil.median(rec_times)
        ratio = mod / opx
        if size >= TARGET_FROM_ROWS:
            verdict = "ok" if ratio <= TARGET else "ABOVE %.2f" % TARGET
        else:
            verdict = "-"
        rows.append((size, repeat, benchutil.fmt_seconds(mod), benchutil.fmt_seconds(opx),
                     "%.3f" % ratio, verdict, "%.3f" % (min(mod_times) / min(opx_times)),
                     "%.1f us" % ((mod - opx) / size * 1e6), "%.3f" % (rec / opx)))
        print("  %d rows: module %s, openpyxl %s, records %s (all rounds: module %s; openpyxl %s; records %s)" % (
            size, benchutil.fmt_seconds(mod), benchutil.fmt_seconds(opx), benchutil.fmt_seconds(rec),
            ", ".join("%.3f" % t for t in mod_times), ", ".join("%.3f" % t for t in opx_times),
            ", ".join("%.3f" % t for t in rec_times)))
    print()
    benchutil.print_table(["rows", "rounds", "module load", "openpyxl read", "ratio", "target <=%.2f" % TARGET,
                           "ratio of minima", "extra per row", "records / openpyxl"], rows)
    print("(medians; 'ratio of minima' compares the fastest rounds, the figure least disturbed by other load on\n"
          " the machine; 'records / openpyxl' is the plain-Python pass that keeps a record per row)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
