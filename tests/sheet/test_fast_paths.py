"""The module's own strip, lower, str equality, literal reading and class
attribute look-up give what CPython's give: each checked against CPython
itself (the plain-Python twin bench/pyref.py, eval, `in`, hasattr), over the
whole Unicode range."""

import importlib.util
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import orv_testparameters as tp
from orv_testparameters import SheetParameters

_spec = importlib.util.spec_from_file_location(
    "pyref", os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "bench", "pyref.py"))
pyref = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(pyref)

WHITESPACE = []
CASE_CHANGING = []
for _code in range(sys.maxunicode + 1):
    _ch = chr(_code)
    if _ch.isspace():
        WHITESPACE.append(_ch)
    if _ch.lower() != _ch:
        CASE_CHANGING.append(_ch)

VOCABULARY = ["auto", "unicode", "str", "string", "bytes", "int", "float", "bool", "boolean", "eval", ""]
any_char = st.one_of(st.characters(), st.sampled_from(WHITESPACE), st.sampled_from(CASE_CHANGING))
texts = st.text(any_char, max_size=12)


def outcome(fn, *args):
    try:
        value = fn(*args)
    except Exception as exc:
        return ("raised", type(exc), str(exc))
    return ("value", type(value), repr(value))


def both(content, vtype, support_eval=True):
    return (outcome(SheetParameters(support_eval)._parse_value, content, vtype),
            outcome(pyref.SheetParameters(support_eval)._parse_value, content, vtype))


@st.composite
def type_texts(draw):
    word = draw(st.sampled_from(VOCABULARY))
    word = "".join(c.upper() if draw(st.booleans()) else c for c in word)
    if draw(st.booleans()):
        at = draw(st.integers(0, len(word)))
        word = word[:at] + draw(st.sampled_from(CASE_CHANGING)) + word[at:]
    pad = st.text(st.sampled_from(WHITESPACE), max_size=3)
    return draw(pad) + word + draw(pad)


@settings(max_examples=300, deadline=None)
@given(content=st.one_of(texts, st.integers(), st.floats(), st.booleans(), st.none()),
       vtype=st.sampled_from(["str", " Str ", "bytes", "bool", "BOOLEAN", "float", None, "  "]))
def test_text_conversions_match_cpython(content, vtype):
    module, reference = both(content, vtype)
    assert module == reference


@settings(max_examples=300, deadline=None)
@given(vtype=type_texts(), content=st.sampled_from(["1", " 2.5 ", "yes", "0x1F"]))
def test_type_texts_are_stripped_and_lowered_as_cpython_does(vtype, content):
    module, reference = both(content, vtype)
    assert module == reference


def test_every_whitespace_and_case_changing_code_point():
    for ch in WHITESPACE:
        assert SheetParameters()._parse_value(ch + "x" + ch, ch + "str" + ch) == "x", repr(ch)
    for ch in CASE_CHANGING:
        for content, vtype in ((ch + "x", "bool"), ("1", ch), ("1", ch + "NT"), ("1", "IN" + ch)):
            module, reference = both(content, vtype)
            assert module == reference, (ch, content, vtype)


plain_soup = st.text(st.sampled_from("0123456789+-.eExX_[], \tTrueNonFalsj"), max_size=16)
literal = st.recursive(
    st.one_of(st.integers(-10 ** 20, 10 ** 20).map(str), st.floats(allow_nan=False).map(repr),
              st.integers(0, 2 ** 64).map(hex), st.sampled_from(["True", "False", "None", "-0.0", "1e400", ".5"])),
    lambda inner: st.lists(inner, max_size=4).map(lambda items: "[" + ", ".join(items) + "]"),
    max_leaves=8)


@settings(max_examples=400, deadline=None)
@given(text=st.one_of(plain_soup, literal), vtype=st.sampled_from(["eval", "int"]))
def test_literals_read_as_eval_reads_them(text, vtype):
    module, reference = both(text, vtype)
    assert module == reference


number = st.one_of(st.integers(0, 99).map(str), st.sampled_from(["2.5", "0x1F", "0o17", "0b101", "1_000", "1e3", "True",
                                                                 "False", "'12'", "b'7'", "'a'", "0", "0.0", "2j"]))
arithmetic = st.recursive(
    number,
    lambda inner: st.one_of(
        st.tuples(inner, st.sampled_from(["+", "-", "*", "/", "//", "%"]), inner).map(" ".join),
        st.tuples(st.sampled_from(["-", "+"]), inner).map("".join),
        inner.map(lambda e: "(" + e + ")"),
        st.tuples(st.integers(-9, 9), st.integers(-3, 6)).map(lambda p: "(%d)**(%d)" % p)),
    max_leaves=10)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=arithmetic)
def test_restricted_arithmetic_gives_what_eval_gives(text):
    module = outcome(SheetParameters(False)._parse_value, text, "int")
    reference = outcome(lambda: int(eval(text, {}, {})))
    if module[0] == "raised" and "only numbers" in module[2] and "%" in text and "'" in text:
        return  # "%" after a text is formatting, which the evaluator refuses
    assert module[:2] == reference[:2]
    if module[0] == "value":
        assert module == reference


@settings(max_examples=200, deadline=None)
@given(names=st.lists(texts.map(lambda s: "n_" + s), min_size=1, max_size=8, unique=True), data=st.data())
def test_name_membership_matches_in(names, data):
    table = SheetParameters()
    for name in names:
        table.set_parameter(name, value=name)
    probe = data.draw(st.one_of(st.sampled_from(names).map(lambda s: "".join(list(s))), texts.map(lambda s: "n_" + s)))
    assert table.has_parameter(probe) == (probe in names)
    assert table.get_value(probe) == (probe if probe in names else None)


CLASS_NAMES = sorted(set(dir(type)) | set(dir(SheetParameters)) | {"extra", "Extra", "_private"})


@settings(max_examples=200, deadline=None)
@given(attributes=st.lists(st.sampled_from(["extra", "_private", "helper"]), unique=True),
       name=st.one_of(st.sampled_from(CLASS_NAMES), texts))
def test_reserved_names_are_what_the_class_answers(attributes, name):
    cls = type("Table", (SheetParameters,), {a: 1 for a in attributes})
    table = cls()
    state = {"_all_names", "_sheet_name", "_SheetParameters__support_eval"}
    expected = hasattr(cls, name) or name in state
    try:
        table.set_parameter(name)
        refused = False
    except AttributeError as exc:
        refused = "reserved" in str(exc)
    assert refused == expected, name


class Loose(str):
    """A name whose == ignores case and counts its calls."""
    calls = 0

    def __eq__(self, other):
        Loose.calls += 1
        return isinstance(other, str) and str.lower(self) == str.lower(other)

    __hash__ = str.__hash__


name_texts = st.sampled_from(["a", "b", "c", "A", "dd", "e"])
element = st.one_of(name_texts, name_texts.map(Loose), st.integers(0, 3))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ops=st.lists(st.tuples(st.sampled_from(["register", "append", "assign", "delete", "insert", "replace",
                                               "sort", "reverse"]), element, st.integers(0, 9)), max_size=12),
       probes=st.lists(element, min_size=1, max_size=4))
def test_name_index_answers_as_the_list_scan(ops, probes):
    """has_parameter and get_value against `in` on the list as it is, after
    each change a caller can make, each probe asked often enough that the
    index is made; a name with its own == is called as often as by `in`."""
    table = SheetParameters()
    for op, item, at in ops:
        names = table._all_names
        if op == "register" and isinstance(item, str):
            table.set_parameter(item, value=at)
        elif op == "append":
            names.append(item)
        elif op == "assign" and names:
            names[at % len(names)] = item
        elif op == "delete" and names:
            del names[at % len(names)]
        elif op == "insert":
            names.insert(at, item)
        elif op == "replace":
            table._all_names = [item] + names[::-1]
        elif op in ("sort", "reverse"):
            names.sort(key=str) if op == "sort" else names.reverse()
        for probe in probes * 3:
            Loose.calls = 0
            expected = probe in table._all_names
            scan_calls, Loose.calls = Loose.calls, 0
            assert table.has_parameter(probe) is expected
            assert Loose.calls == scan_calls
            if not expected:
                assert table.get_value(probe, "none") == "none"
