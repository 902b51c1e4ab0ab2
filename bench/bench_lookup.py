"""Look-up speed of BookParameters: the extension next to the plain-Python
twin (bench/pyref.py), in one process.

A workbook of 20 sheets x 500 float parameters (names unique across the book)
is loaded into both; every operation is then called once for every name, and
the median over several rounds is reported per call.

    python bench/bench_lookup.py            # 20 sheets x 500, 7 rounds
    python bench/bench_lookup.py --sheet-sizes 100,50000   # and single tables of those sizes
    python bench/bench_lookup.py --quick    # 5 sheets x 100, 3 rounds
"""
import argparse
import sys
import time

import benchutil


def load_book(module, path, sheet_names):
    book = module.BookParameters(path)
    for sheet in sheet_names:
        book.load_sheet(sheet)
    return book


def load_book_editable(module, path, sheet_names):
    """The same book, its sheets read from one editable workbook.  The
    reference's load_sheet reads a read-only workbook cell by cell, which
    openpyxl answers by re-parsing the sheet for every cell (time in rows
    squared); the tables built here are the same, in the same order."""
    from openpyxl import load_workbook
    book = module.BookParameters(path)
    workbook = load_workbook(path, data_only=True)
    loaded = book._BookParameters__all_sheet_parameters
    for sheet in sheet_names:
        table = module.SheetParameters()
        table.load(workbook, sheet)
        loaded.append(table)
    return book


def operations(book, names, sheet_of):
    relative = book.LIMIT_MODE_RELATIVE
    pairs = [(name, sheet_of[name]) for name in names]

    def get_value():
        get = book.get_value
        for name in names:
            get(name)

    def get_low_relative():
        get_low = book.get_low
        for name in names:
            get_low(name, mode=relative)

    def has_parameter():
        has = book.has_parameter
        for name in names:
            has(name)

    def get_parameter_from_sheet():
        get = book.get_parameter_from_sheet
        for name, sheet in pairs:
            get(name, sheet)

    return [
        ("get_value(name)", get_value),
        ("get_low(name, mode=RELATIVE)", get_low_relative),
        ("has_parameter(name)", has_parameter),
        ("get_parameter_from_sheet(name, sheet)", get_parameter_from_sheet),
    ]


def filled_table(module, count):
    """A table of `count` names, its records set as load would set them
    (SheetParameters.set_parameter of the plain-Python twin takes time in
    names squared)."""
    table = module.SheetParameters()
    names = ["BIG_%06d" % i for i in range(count)]
    for i, name in enumerate(names):
        setattr(table, name, module.Parameter(name, value=float(i)))
    table._all_names.extend(names)
    return table, names


def sheet_rows(module, pyref, sizes, repeat, probes=1000):
    """SheetParameters.get_value on tables of each size: median per call."""
    rows = []
    for size in sizes:
        ext, names = filled_table(module, size)
        ref, _ = filled_table(pyref, size)
        step = max(1, size // probes)
        # Fresh str objects, as a caller's names are (not the listed ones).
        asked = ["".join(list(name)) for name in names[::step]]
        asked *= max(1, probes // len(asked))  # enough calls per round to time
        assert [ext.get_value(n) for n in asked] == [ref.get_value(n) for n in asked]

        def run(table):
            get = table.get_value
            def op():
                for name in asked:
                    get(name)
            return op
        ext_times, ref_times = benchutil.time_pair(run(ext), run(ref), repeat)
        ext_call = benchutil.median(ext_times) / len(asked)
        ref_call = benchutil.median(ref_times) / len(asked)
        rows.append(("sheet get_value(name), %d names" % size, benchutil.fmt_seconds(ext_call),
                     benchutil.fmt_seconds(ref_call), "%.3f" % (ext_call / ref_call),
                     "%.3f" % (min(ext_times) / min(ref_times))))
    return rows


def check_same_results(ext, ref, names, sheet_of):
    """Both books must give the same answers before their speed means anything."""
    bad = []
    relative = ref.LIMIT_MODE_RELATIVE
    for name in names:
        got = (ext.get_value(name), ext.get_low(name, mode=relative), ext.has_parameter(name),
               ext.get_parameter_from_sheet(name, sheet_of[name]).value)
        want = (ref.get_value(name), ref.get_low(name, mode=relative), ref.has_parameter(name),
                ref.get_parameter_from_sheet(name, sheet_of[name]).value)
        if got != want:
            bad.append((name, got, want))
    return bad


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    benchutil.add_module_option(parser)
    benchutil.add_clock_option(parser)
    parser.add_argument("--sheets", type=int, default=20)
    parser.add_argument("--per-sheet", type=int, default=500)
    parser.add_argument("--repeat", type=int, default=7, help="timed rounds per operation (median reported)")
    parser.add_argument("--quick", action="store_true", help="5 sheets x 100 parameters, 3 rounds")
    parser.add_argument("--sheet-sizes", default="100,50000",
                        help="sizes of the single tables whose get_value is timed too (empty: none)")
    args = parser.parse_args(argv)
    if args.quick:
        args.sheets, args.per_sheet, args.repeat = 5, 100, 3

    benchutil.set_clock(args.clock)
    module = benchutil.import_module(args.module)
    pyref = benchutil.import_pyref()
    print(benchutil.describe_environment(module))
    print("clock      %s" % args.clock)

    path = benchutil.lookup_workbook(args.sheets, args.per_sheet)
    sheet_names = [benchutil.lookup_sheet_name(s) for s in range(args.sheets)]
    names, sheet_of = [], {}
    for s, sheet in enumerate(sheet_names):
        for i in range(args.per_sheet):
            name = benchutil.lookup_param_name(s, i)
            names.append(name)
            sheet_of[name] = sheet
    print("workbook   %s: %d sheets x %d parameters = %d names; %d rounds, median per call"
          % (path, args.sheets, args.per_sheet, len(names), args.repeat))

    start = time.perf_counter()
    if module is pyref:
        ext_book = load_book_editable(module, path, sheet_names)
    else:
        ext_book = load_book(module, path, sheet_names)
    ext_load = time.perf_counter() - start
    start = time.perf_counter()
    ref_book = load_book_editable(pyref, path, sheet_names)
    ref_load = time.perf_counter() - start
    print("loading    %s: %s (%s)   pyref: %s (tables filled from one editable workbook)"
          % (args.module, benchutil.fmt_seconds(ext_load),
             "tables filled from one editable workbook" if module is pyref else "load_sheet of each sheet",
             benchutil.fmt_seconds(ref_load)))
    bad = check_same_results(ext_book, ref_book, names, sheet_of)
    if bad:
        print("RESULTS DIFFER for %d names, e.g. %r (module, pyref); not timing." % (len(bad), bad[0]))
        return 1
    print()

    rows = []
    for (label, ext_op), (_, ref_op) in zip(operations(ext_book, names, sheet_of),
                                            operations(ref_book, names, sheet_of)):
        ext_times, ref_times = benchutil.time_pair(ext_op, ref_op, args.repeat)
        ext_call = benchutil.median(ext_times) / len(names)
        ref_call = benchutil.median(ref_times) / len(names)
        rows.append((label, benchutil.fmt_seconds(ext_call), benchutil.fmt_seconds(ref_call),
                     "%.3f" % (ext_call / ref_call), "%.3f" % (min(ext_times) / min(ref_times))))
    headers = ["operation (per call)", args.module, "pyref (Python)", "ratio module/Python", "ratio of minima"]
    benchutil.print_table(headers, rows)
    sizes = [int(v) for v in args.sheet_sizes.split(",") if v.strip()]
    if sizes:
        print()
        print("single tables of SheetParameters, names asked as fresh str objects:")
        benchutil.print_table(headers, sheet_rows(module, pyref, sizes, args.repeat))
    return 0


if __name__ == "__main__":
    sys.exit(main())
