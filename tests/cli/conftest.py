import hashlib
import os
import shutil
import subprocess
import sys

import pytest

openpyxl = pytest.importorskip("openpyxl")
pytest.importorskip("orv_testparameters")

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")


def write_book(path, sheets, header=True):
    """Write a workbook: {title: [row tuples of up to seven cells]}; None leaves a cell empty."""
    book = openpyxl.Workbook()
    book.remove(book.active)
    for title, rows in sheets.items():
        sheet = book.create_sheet(title)
        all_rows = ([HEADER] if header else []) + list(rows)
        for rownum, row in enumerate(all_rows, 1):
            for col, value in enumerate(row, 1):
                if value is not None:
                    sheet.cell(row=rownum, column=col, value=value)
    book.save(str(path))
    return path


def digest(path):
    with open(str(path), "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def cells(path, sheet):
    """Every row of a sheet as a tuple of seven cell values (formulas as text)."""
    book = openpyxl.load_workbook(str(path))
    return [tuple(row) for row in book[sheet].iter_rows(min_row=1, max_col=7, values_only=True)]


class Cli(object):
    """Runs the installed testparams command: (exit status, stdout, stderr)."""

    def __init__(self, exe):
        self.exe = exe

    def __call__(self, *argv, **options):
        env = dict(os.environ, **options.pop("env", {}))
        run = subprocess.run([self.exe] + [str(a) for a in argv], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True, env=env, **options)
        return run.returncode, run.stdout, run.stderr


@pytest.fixture(scope="session")
def cli():
    beside = os.path.join(os.path.dirname(sys.executable), "testparams")
    exe = beside if os.path.exists(beside) else shutil.which("testparams")
    if exe is None:
        pytest.skip("the testparams command is not installed")
    return Cli(exe)


class Books(object):
    """The workbook helpers above, handed to tests as a fixture."""
    openpyxl = openpyxl
    write = staticmethod(write_book)
    digest = staticmethod(digest)
    cells = staticmethod(cells)


@pytest.fixture
def books():
    return Books


@pytest.fixture
def supply_book(tmp_path):
    """Two sheets in the usual layout; VDD also sits in Station to test search order."""
    return write_book(tmp_path / "params.xlsx", {
        "Supply": [
            ("Core supply", 3.3, 3.0, 3.6, "V", "VDD", "float"),
            ("Channel", 2, 1, 4, None, "channel", "int"),
            ("Remote sense", "yes", None, None, None, "sense", "bool"),
            ("Resource", " GPIB0::5 ", None, None, None, "resource", "str"),
            ("Prefix", "SN-", None, None, None, "prefix", "bytes"),
            ("Loops", 10, None, None, None, "loops", "auto"),
        ],
        "Station": [
            ("Station supply", 5.0, -0.5, 0.5, "V", "VDD", "float"),
            ("Name", "FCT-02", None, None, None, "station", "string"),
        ],
    })
