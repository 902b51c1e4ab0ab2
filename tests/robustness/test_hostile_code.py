"""Caller code that runs in the middle of the module's own work (a key's
__eq__, an eval cell, an override) and changes what the module is walking."""

import subprocess

import childrun

# A class-dict key whose __eq__ gives the class new bases while the reserved
# name check walks the class's MRO. The MRO is longer than the tuples the
# interpreter keeps for reuse, so the old one is really freed; the debug
# allocator fills freed memory, so a walk over the freed tuple goes astray
# (and AddressSanitizer reports it).
MRO_CHANGED_MID_WALK = r"""
import json
import orv_testparameters as tp

mixins = [type("M%d" % i, (), {}) for i in range(30)]
Base = type("Base", tuple(mixins) + (tp.SheetParameters,), {})
Other = type("Other", (tp.SheetParameters,), {})
armed = []

class Key:
    def __init__(self, name):
        self.name = name
    def __hash__(self):
        return hash(self.name)
    def __eq__(self, other):
        if armed:
            armed.pop()
            X.__bases__ = (Other,)
        return NotImplemented

report = {}
for name in ("get_value", "free_name"):
    X = type("X", (Base,), {Key(name): 1})
    table = X()
    armed.append(1)
    try:
        table.set_parameter(name, "d", 1)
        report[name] = ["registered", table.parameter_names]
    except AttributeError as exc:
        report[name] = ["refused", str(exc)]
    report[name].append([c.__name__ for c in X.__mro__][:2])
print(json.dumps(report))
"""


def test_reserved_name_check_survives_bases_changed_mid_walk():
    code, report, out, err = childrun.run_json(
        MRO_CHANGED_MID_WALK, timeout=120, env={"PYTHONMALLOC": "debug"})
    assert code == 0 and report is not None, "%s\n%s\n%s" % (childrun.describe_exit(code), out, err[-3000:])
    # The walk goes on along the MRO it started with, as the interpreter's
    # own attribute look-up does: get_value is found on SheetParameters.
    assert report["get_value"][0] == "refused", report
    assert report["free_name"][:2] == ["registered", ["free_name"]], report
    assert report["get_value"][2] == ["X", "Other"], report
