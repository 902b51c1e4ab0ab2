"""The type stubs shipped as orv_testparameters-stubs, checked with mypy."""
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE_STUB = os.path.join(ROOT, "orv_testparameters-stubs", "__init__.pyi")

GOOD = """\
from typing import Any, List, Optional
from orv_testparameters import BookParameters, Parameter, SheetParameters

book = BookParameters("limits.xlsx", support_eval=False)
sheet: SheetParameters = book.load_sheet("Supply")
names: List[str] = sheet.parameter_names
vdd: Parameter = book.get_parameter("VDD")
maybe: Optional[Parameter] = book.get_parameter("VDD", False)
first: Optional[SheetParameters] = book.get_sheet_parameters("Supply", raise_exception=False)
low: Any = book.get_low("VDD", mode=BookParameters.LIMIT_MODE_RELATIVE)
up: Any = book.get_up("VDD", 0.0, BookParameters.LIMIT_MODE_ABSOLUTE)
value = book.get("VDD", 0.0) + book.get_value("IDD")
book.set_value("VDD", 3.4)
book.set("VDD", "3.4")
count: int = sheet.get_prefix_count(("VDD", "IDD"))
records: List[Parameter] = sheet.get_postfix_parameters("_max")
title: Optional[str] = sheet.sheet_name()
sheet.name = "Core"
sheet.set_parameter("X", "desc", 1, _type="int")
sheet.set_parameter(Parameter("Y", value=2.0, _type="float"))
sheet.sheet_rename("Supply")
unit = vdd.unit
parsed = sheet._parse_value("0x10", "int")
book.sheet_rename("Supply", "Power")
book.save()
book.save_as("copy.xlsx")
"""

# Each line with a trailing "# E" must draw an error, and no other line may.
BAD = """\
from orv_testparameters import BookParameters, Parameter, SheetParameters

book = BookParameters()  # E
book.load_sheet("Supply", 0)  # E
p = Parameter("x", type="int")  # E
sheet = SheetParameters()
title: str = sheet.sheet_name  # E
sheet.parameter_names = []  # E
book.get_low("VDD", mode="relative")  # E
record: Parameter = book.get_parameter("VDD", False)  # E
book.LIMIT_MODE_RELATIVE = 2  # E
n: str = sheet.get_prefix_count("V")  # E
book.save_as()  # E
book.get_parameters("VDD")  # E
sheet.load(None, "Supply", max_empty_row="2")  # E
"""


def installed_stub():
    for entry in sys.path:
        candidate = os.path.join(entry or os.curdir, "orv_testparameters-stubs", "__init__.pyi")
        if os.path.isfile(candidate) and not (os.path.isfile(SOURCE_STUB)
                                              and os.path.samefile(candidate, SOURCE_STUB)):
            return candidate
    return None


def mypy_env(tmp_path):
    """Use the installed stubs, or else the source tree's through MYPYPATH."""
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if installed_stub() is None:
        stubs = tmp_path / "stubs"
        stubs.mkdir()
        shutil.copy(SOURCE_STUB, str(stubs / "orv_testparameters.pyi"))
        env["MYPYPATH"] = str(stubs)
    return env


def run_mypy(tmp_path, *args):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"),
         "--no-error-summary", "--show-error-codes"] + list(args),
        cwd=str(tmp_path), env=mypy_env(tmp_path), stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, universal_newlines=True)


def test_mypy_accepts_correct_use_and_reports_each_misuse(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    run = run_mypy(tmp_path, "good.py", "bad.py")
    errors = re.findall(r"^(\w+)\.py:(\d+): error: (.*)$", run.stdout, re.M)
    assert [e for e in errors if e[0] == "good"] == []
    expected = [n for n, line in enumerate(BAD.splitlines(), 1) if line.endswith("# E")]
    assert sorted(set(int(e[1]) for e in errors if e[0] == "bad")) == expected, run.stdout
    assert run.returncode == 1


def test_stubs_match_the_module_at_run_time(tmp_path):
    pytest.importorskip("orv_testparameters")
    if sys.version_info < (3, 7):
        pytest.skip("typing.List of 3.6 is a class whose internals stubtest takes for module API")
    allow = tmp_path / "allow.txt"
    # Parameters are reached as attributes of their table; the stubs say so.
    allow.write_text(textwrap.dedent("""\
        orv_testparameters.SheetParameters.__getattr__
        """))
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "orv_testparameters", "--allowlist", str(allow)],
        cwd=str(tmp_path), env=mypy_env(tmp_path), stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, universal_newlines=True)
    assert run.returncode == 0, run.stdout
