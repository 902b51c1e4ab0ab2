"""Book saving speed: BookParameters.save next to openpyxl doing the same
writes itself, in one process.

A 10,000-row sheet of mixed parameters is loaded with BookParameters (not
timed).  Then, alternately, each from a fresh copy of the same file:

  module:   set_value on 100 parameters, then save()
  openpyxl: what a caller does for the same change without the module:
            load_workbook(path) (editable), the 100 value cells written,
            wb.save(path)

(save() writes only the cells whose content changed, so the reference
writes only those too.)  Before timing, both files are read back and must
hold the same values in every cell of the sheet.  The medians are printed
with their ratio (target: at most 1.10).  The result depends on whether
lxml is installed (openpyxl then writes through it); the line "lxml
installed" says which case was measured.  Run it once
with and once without lxml in the environment.

    python bench/bench_save.py
    python bench/bench_save.py --quick        # 1,000 rows, 3 rounds

A second row does the same on a workbook whose every sheet holds formulas
with stored results (made with xlsxwriter, skipped when it is missing): the
parameter sheet has a formula beside every row, and three more sheets hold
one formula per row reading it.  There the module's save also runs its pass
over every formula (which results it keeps), so the difference of the two
medians is what the pass costs (the target is for the first row).
"""
import argparse
import os
import sys
import time
import warnings

import openpyxl

import benchutil

SHEET = "Params"
TARGET = 1.10
FORMULA_SHEETS = 3


def load_book(module, pyref, path):
    book = module.BookParameters(path)
    if module is pyref:
        # The reference reads a read-only workbook cell by cell, which openpyxl
        # answers by re-parsing the sheet for every cell; fill its table from
        # an editable workbook instead (same records, same order).
        table = module.SheetParameters()
        table.load(openpyxl.load_workbook(path, data_only=True), SHEET)
        book._BookParameters__all_sheet_parameters.append(table)
    else:
        book.load_sheet(SHEET)
    return book


def sheet_values(path):
    """Every cell value of the sheet, as openpyxl reads the file back."""
    wb = openpyxl.load_workbook(path, read_only=True)
    ws = wb[SHEET]
    ws.reset_dimensions()
    rows = list(ws.iter_rows(values_only=True))
    wb.close()
    while rows and all(v is None for v in rows[-1]):
        rows.pop()
    return rows


def formula_workbook(rows):
    """Path of a workbook like mixed_workbook(rows) whose every sheet holds
    formulas with stored results, or None without xlsxwriter."""
    try:
        import xlsxwriter
    except ImportError:
        return None
    path = benchutil.data_path("formulas_%d_v%d.xlsx" % (rows, benchutil.DATA_VERSION))
    if os.path.exists(path):
        return path
    tmp = path + ".tmp.xlsx"
    wb = xlsxwriter.Workbook(tmp)
    ws = wb.add_worksheet(SHEET)
    ws.write_row(0, 0, benchutil.HEADER)
    for r, row in enumerate(benchutil.mixed_rows(rows), 1):
        ws.write_row(r, 0, row)
        ws.write_formula(r, 9, "=LEN(F%d)" % (r + 1), None, len(row[5]))
    for s in range(FORMULA_SHEETS):
        other = wb.add_worksheet("Calc%d" % s)
        for r in range(rows):
            other.write_formula(r, 0, "=%s!J%d*%d" % (SHEET, r + 2, s + 2), None, 10 * (s + 2))
            other.write_formula(r, 1, "=A%d+1" % (r + 1), None, 10 * (s + 2) + 1)
    wb.close()
    os.replace(tmp, path)
    return path


def compare(module, pyref, source, args, label, target=True):
    """Times the module's set_value + save against openpyxl's open + writes +
    save on copies of `source`; returns the table row, or None on a mismatch."""
    mod_path = benchutil.data_path("save_module.xlsx")
    opx_path = benchutil.data_path("save_openpyxl.xlsx")
    benchutil.copy_file(source, mod_path)

    start = time.perf_counter()
    book = load_book(module, pyref, mod_path)
    load_time = time.perf_counter() - start
    table = book.get_sheet_parameters(SHEET)
    names = table.parameter_names
    # Parameters of type float (every tenth row, see benchutil.mixed_rows).
    changed = [n for n in names if table.get_parameter(n).type == "float"][:args.params]
    if len(changed) < args.params:
        changed = names[:args.params]
    new_values = [1000.5 + i for i in range(len(changed))]
    print("workbook   %s: %d rows; %d parameters changed; load_sheet (not timed): %s"
          % (source, len(names), len(changed), benchutil.fmt_seconds(load_time)))

    def module_save():
        set_value = book.set_value
        for name, value in zip(changed, new_values):
            set_value(name, value)
        book.save()

    # The rows of the changed parameters: a caller knows where they are.
    rows = dict((name, row) for row, name in enumerate(names, 2))
    writes = [(rows[name], value) for name, value in zip(changed, new_values)]

    def openpyxl_save():
        wb = openpyxl.load_workbook(opx_path)
        ws = wb[SHEET]
        for row, value in writes:
            ws.cell(row=row, column=2).value = value
        wb.save(opx_path)

    def fresh_copies():
        benchutil.copy_file(source, mod_path)
        benchutil.copy_file(source, opx_path)

    # Untimed first round of each; the two files must then hold the same values.
    fresh_copies()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        module_save()
        openpyxl_save()
        mod_cells, opx_cells = sheet_values(mod_path), sheet_values(opx_path)
    if mod_cells != opx_cells:
        diff = [i for i, (a, b) in enumerate(zip(mod_cells, opx_cells)) if a != b]
        first = diff[0] if diff else min(len(mod_cells), len(opx_cells))
        print("The module's file differs from openpyxl's (%d vs %d rows, %d differing, first row index %d): %r / %r"
              % (len(mod_cells), len(opx_cells), len(diff), first,
                 mod_cells[first] if first < len(mod_cells) else "", opx_cells[first] if first < len(opx_cells) else ""))
        return None
    saved = dict((r[5], r[1]) for r in mod_cells[1:])
    if any(saved[n] != v for n, v in zip(changed, new_values)):
        print("The saved file lacks the values set with set_value; not timing.")
        return None

    mod_times, opx_times = benchutil.time_pair(module_save, openpyxl_save, args.repeat,
                                               setup=fresh_copies, gc_off=not args.gc)
    mod, opx = benchutil.median(mod_times), benchutil.median(opx_times)
    print("all rounds: module %s; openpyxl %s" % (", ".join("%.3f" % t for t in mod_times),
                                                  ", ".join("%.3f" % t for t in opx_times)))
    # A round after the timed ones writes what the first did.
    fresh_copies()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        module_save()
        openpyxl_save()
        again = sheet_values(mod_path), sheet_values(opx_path)
    if again != (mod_cells, opx_cells):
        print("A later round wrote other values than the first one.")
        return None
    for path in (mod_path, opx_path):
        os.remove(path)
    ratio = mod / opx
    return (label, len(names), "yes" if benchutil.lxml_installed() else "no", args.repeat,
            benchutil.fmt_seconds(mod), benchutil.fmt_seconds(opx), "%.3f" % ratio,
            ("ok" if ratio <= TARGET else "ABOVE %.2f" % TARGET) if target else "(pass cost)",
            "%.3f" % (min(mod_times) / min(opx_times)),
            ("-" if mod < opx else "") + benchutil.fmt_seconds(abs(mod - opx)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    benchutil.add_module_option(parser)
    benchutil.add_clock_option(parser)
    parser.add_argument("--rows", type=int, default=10000, help="parameter rows in the sheet")
    parser.add_argument("--params", type=int, default=100, help="parameters changed with set_value before saving")
    parser.add_argument("--repeat", type=int, default=5, help="timed rounds (median reported)")
    parser.add_argument("--gc", action="store_true",
                        help="keep the cyclic garbage collector on while timing (off by default, as in timeit)")
    parser.add_argument("--quick", action="store_true", help="1,000 rows, 3 rounds")
    args = parser.parse_args(argv)
    if args.quick:
        args.rows, args.repeat = 1000, 3

    benchutil.set_clock(args.clock)
    module = benchutil.import_module(args.module)
    pyref = benchutil.import_pyref()
    print(benchutil.describe_environment(module))
    print("clock      %s" % args.clock)
    results = []
    plain = compare(module, pyref, benchutil.mixed_workbook(args.rows, SHEET), args, "parameters only")
    if plain is None:
        return 1
    results.append(plain)
    source = formula_workbook(args.rows)
    if source is None:
        print("xlsxwriter is not installed: no workbook with formulas")
    else:
        with_formulas = compare(module, pyref, source, args,
                                "formulas in all %d sheets" % (FORMULA_SHEETS + 1), target=False)
        if with_formulas is None:
            return 1
        results.append(with_formulas)
    print("garbage collector during timing: %s" % ("on" if args.gc else "off"))
    print()
    benchutil.print_table(
        ["workbook", "rows", "lxml installed", "rounds", "module set_value+save", "openpyxl open+writes+save",
         "ratio", "target <=%.2f" % TARGET, "ratio of minima", "difference"], results)
    print("(medians; 'ratio of minima' compares the fastest rounds, the figure least disturbed by other load on\n"
          " the machine; 'difference' is the module's median less openpyxl's: with formulas, the pass's cost)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
