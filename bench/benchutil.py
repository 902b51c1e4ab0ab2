# Helpers shared by the benchmark scripts: choosing the module under test,
# making the workbooks they read, timing, and printing the environment.
import gc
import importlib
import importlib.util
import os
import platform
import shutil
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = os.path.join(HERE, "data")

HEADER = ["Description", "Value", "Low", "Up", "Unit", "Name", "Type"]

# Bump when a generator below changes, so that stale files in bench/data/ are
# not reused.
DATA_VERSION = 1


def add_module_option(parser):
    parser.add_argument(
        "--module", default="orv_testparameters",
        help="module whose classes are timed (default: orv_testparameters; "
             "'pyref' times the plain-Python twin, useful while the extension "
             "does not build)")


CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
_clock = time.perf_counter


def add_clock_option(parser):
    parser.add_argument(
        "--clock", choices=sorted(CLOCKS), default="wall",
        help="wall: elapsed time (default); cpu: CPU time of this process, which other "
             "programs on a busy machine disturb less")


def set_clock(name):
    global _clock
    _clock = CLOCKS[name]


def add_size_options(parser, sizes, large, quick_size, repeat_help="timed rounds per size"):
    """--sizes, --repeat, --repeat-large and --quick (`quick_size` rows, 3 rounds)."""
    parser.add_argument("--sizes", default=sizes, help="comma-separated row counts")
    parser.add_argument("--repeat", type=int, default=5, help=repeat_help)
    parser.add_argument("--repeat-large", type=int, default=3,
                        help="timed rounds for sizes of %d rows and more" % large)
    parser.add_argument("--quick", action="store_true", help="{:,} rows, 3 rounds".format(quick_size))


def sizes_of(args, quick_size):
    """The row counts that the options of add_size_options ask for."""
    if args.quick:
        args.sizes, args.repeat = str(quick_size), 3
    return [int(s) for s in args.sizes.split(",") if s.strip()]


def import_module(name):
    if name == "pyref":
        if HERE not in sys.path:
            sys.path.insert(0, HERE)
    return importlib.import_module(name)


def import_pyref():
    return import_module("pyref")


def describe_environment(module):
    import openpyxl
    import openpyxl.xml
    lines = [
        "python     %s (%s)" % (platform.python_version(), sys.executable),
        "openpyxl   %s   lxml installed: %s   openpyxl uses lxml: %s   defusedxml: %s" % (
            openpyxl.__version__,
            "yes" if importlib.util.find_spec("lxml") is not None else "no",
            "yes" if openpyxl.xml.LXML else "no",
            "yes" if openpyxl.xml.DEFUSEDXML else "no"),
        "module     %s (%s)" % (module.__name__, getattr(module, "__file__", "?")),
    ]
    return "\n".join(lines)


def lxml_installed():
    return importlib.util.find_spec("lxml") is not None


def data_path(filename):
    os.makedirs(DATA_DIR, exist_ok=True)
    return os.path.join(DATA_DIR, filename)


def _write_workbook(path, sheets):
    """sheets: list of (title, iterable of 7-tuples).  Written in openpyxl's
    normal mode, not write-only: write-only files carry no sheet dimension,
    and a read-only worksheet then reports max_row as None.  Written to a
    temporary name first so that an interrupted run leaves no half file."""
    from openpyxl import Workbook
    wb = Workbook()
    wb.remove(wb.active)
    for title, rows in sheets:
        ws = wb.create_sheet(title)
        ws.append(HEADER)
        for row in rows:
            ws.append(row)
    tmp = path + ".tmp.xlsx"
    wb.save(tmp)
    os.replace(tmp, path)


def mixed_rows(count):
    """Parameter rows of every variable type the loader knows, with and
    without limits and units, cycling through ten kinds of row."""
    for i in range(count):
        name = "PARAM_%06d" % i
        desc = "Parameter number %d" % i
        kind = i % 10
        if kind == 0:
            yield (desc, "Text value %d" % i, None, None, None, name, "str")
        elif kind == 1:
            # No type text: the default "str" applies to a number cell.
            yield (desc, 3.3, None, None, "V", name, None)
        elif kind == 2:
            yield (desc, 5 + i, -1, 2, "mA", name, "int")
        elif kind == 3:
            yield (desc, "0x1F", None, None, "", name, " Int ")
        elif kind == 4:
            yield (desc, 1.25 * i, -0.5, 0.5, "V", name, "float")
        elif kind == 5:
            yield (desc, "2.5e-3", None, None, "A", name, "float")
        elif kind == 6:
            yield (desc, "yes" if i % 20 else "False", None, None, None, name, "bool")
        elif kind == 7:
            yield (desc, 42, 40, 44, "ms", name, "auto")
        elif kind == 8:
            yield (desc, "[1, 2, %d]" % i, None, None, None, name, "eval")
        else:
            yield (desc, "  padded %d  " % i, None, None, "Ohm", name, "string")


def mixed_workbook(rows, sheet="Params"):
    """Path of a workbook holding `rows` mixed parameter rows in `sheet`."""
    path = data_path("mixed_%d_v%d.xlsx" % (rows, DATA_VERSION))
    if not os.path.exists(path):
        _write_workbook(path, [(sheet, mixed_rows(rows))])
    return path


def lookup_sheet_name(index):
    return "Sheet%02d" % index


def lookup_param_name(sheet_index, index):
    return "S%02d_P%03d" % (sheet_index, index)


def lookup_workbook(sheets, per_sheet):
    """Path of a workbook of `sheets` sheets with `per_sheet` float
    parameters each (value, relative low and up limits), names unique across
    the book."""
    path = data_path("lookup_%dx%d_v%d.xlsx" % (sheets, per_sheet, DATA_VERSION))
    if not os.path.exists(path):
        def rows(s):
            for i in range(per_sheet):
                yield ("Parameter %d of sheet %d" % (i, s), 1.0 + i, -0.25, 0.5, "V",
                       lookup_param_name(s, i), "float")
        _write_workbook(path, [(lookup_sheet_name(s), rows(s)) for s in range(sheets)])
    return path


def copy_file(src, dst):
    shutil.copyfile(src, dst)


def time_once(func, gc_off=True):
    """Wall time of one call of func(), with the cyclic garbage collector
    off during the call as timeit does (unless gc_off is false)."""
    gc.collect()
    enabled = gc.isenabled()
    if gc_off:
        gc.disable()
    try:
        start = _clock()
        func()
        return _clock() - start
    finally:
        if enabled:
            gc.enable()


def median(values):
    return statistics.median(values)


def time_side_by_side(funcs, repeat, setup=None, gc_off=True):
    """Times callables side by side: `repeat` rounds, each running all of
    them, the order turning by one from one round to the next.  setup(),
    when given, runs untimed before every timed call.  Returns one list of
    times per callable."""
    times = [[] for _ in funcs]
    for i in range(repeat):
        for k in range(len(funcs)):
            j = (k + i) % len(funcs)
            if setup is not None:
                setup()
            times[j].append(time_once(funcs[j], gc_off))
    return times


def time_pair(first, second, repeat, setup=None, gc_off=True):
    """time_side_by_side of two callables, whose order alternates."""
    times_first, times_second = time_side_by_side([first, second], repeat, setup, gc_off)
    return times_first, times_second


def fmt_seconds(value):
    if value >= 1.0:
        return "%.3f s" % value
    if value >= 1e-3:
        return "%.2f ms" % (value * 1e3)
    if value >= 1e-6:
        return "%.2f us" % (value * 1e6)
    return "%.1f ns" % (value * 1e9)


def print_table(headers, rows):
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(headers)]
    line = "  ".join(str(h).rjust(w) if i else str(h).ljust(w) for i, (h, w) in enumerate(zip(headers, widths)))
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths))))
