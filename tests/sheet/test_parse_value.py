import builtins
import datetime
import math
import sys

import pytest

import orv_testparameters as tp
from orv_testparameters import SheetParameters


@pytest.fixture(params=[True, False], ids=["eval", "no-eval"])
def table(request):
    return SheetParameters(request.param)


@pytest.mark.parametrize("content, vtype, expected", [
    (3.3, None, "3.3"),
    ("  x  ", "   ", "x"),
    ("5", " Int ", 5),
    (None, "auto", None),
    (5, "AUTO", 5),
    ("  a ", " auto", "  a "),
    (None, "int", None),
    ("   ", "int", None),
    ("   ", "eval", None),
    (None, "nonsense", None),
    ("2.9", "int", 2),
    ("0x1F", "int", 31),
    ("1e3", "int", 1000),
    ("3*4", "int", 12),
    (7.0, "int", 7),
    ("-(2+3)*4", "int", -20),
    ("7 // 2 + 7 % 3", "int", 4),
    ("2**10", "int", 1024),
    ("'12'", "int", 12),
    ("1_000 + 0o17 + 0b1", "int", 1016),
    ("True + 1", "int", 2),
    (3, "float", 3.0),
    (" 2.5e-3 ", "Float", 0.0025),
    (" hé ", "bytes", "hé".encode("utf-8")),
    (12, "string", "12"),
    (" x ", "unicode", "x"),
    (datetime.datetime(2020, 1, 2, 3, 4, 5), "str", "2020-01-02 03:04:05"),
] + [(t, "bool", True) for t in ["True", "yes", "Y", "1", "10", "t", True, 1, 1.0]]
  + [(t, "boolean", False) for t in ["False", "no", "0", "-1", "2", "on", 0, 0.5]])
def test_conversions_with_either_eval_flag(table, content, vtype, expected):
    result = table._parse_value(content, vtype)
    assert result == expected and type(result) is type(expected)


def test_float_words():
    assert math.isinf(SheetParameters()._parse_value("inf", "float"))
    assert math.isnan(SheetParameters()._parse_value("nan", "float"))


@pytest.mark.parametrize("content, vtype, error, message", [
    ("08", "int", SyntaxError, None),
    ("abc", "int", NameError, "name 'abc' is not defined"),
    ("1,5", "float", ValueError, None),
    ("1/0", "int", ZeroDivisionError, None),
    ("'a' - 1", "int", TypeError, None),
    ("x", "Money ", TypeError, "Unknown variable type: Money "),
])
def test_errors_with_either_eval_flag(table, content, vtype, error, message):
    with pytest.raises(error) as info:
        table._parse_value(content, vtype)
    if message:
        assert str(info.value) == message


def test_unknown_default_type_names_the_argument_as_passed():
    with pytest.raises(TypeError, match=r"^Unknown variable type: None$"):
        SheetParameters()._parse_value(1, None, "weird")
    assert SheetParameters()._parse_value(1, None, "auto") == 1


def test_non_text_type_fails_before_looking_at_the_content():
    with pytest.raises(AttributeError):
        SheetParameters()._parse_value(None, 5)


@pytest.mark.parametrize("flag", [False, 0, [], None])
def test_eval_type_refused_by_a_false_flag(flag):
    table = SheetParameters(flag)
    assert table._parse_value("", "eval") is None
    with pytest.raises(ValueError, match=r'^Variable type "eval" is not supported by this program\.$'):
        table._parse_value("[1, 2]", "eval")


def test_eval_sees_module_globals_and_the_method_locals():
    table = SheetParameters("yes")
    table.set_parameter("Vcc", "supply", 5)
    assert table._parse_value("[1, 2]", "eval") == [1, 2]
    assert table._parse_value("self.Vcc.value * 2", " EVAL ") == 10
    assert table._parse_value("self.Vcc.value * 2.6", "int") == 13
    assert table._parse_value("Parameter", "eval") is tp.Parameter
    assert table._parse_value("sorted(locals())", "eval") == sorted(
        ["self", "variable_content", "variableType", "default_type", "variable_type", "variable_str"])
    assert table._parse_value("(variableType, variable_type)", " Eval ") == (" Eval ", "eval")


# Texts that are read without the compiler when the table evaluates them: the
# result must be exactly what the builtin eval gives.
PLAIN_TEXTS = ["0", "7", "-5", "+5", "- 5", "0x1F", "-0X1f", "123456789012345678", "1234567890123456789",
               "00", "08", "5.5", ".5", "5.", "1e5", "1E+05", "1e400", "-0.0", "007.5", "01e3", "1.5.2", "1j",
               "[1, 2, 8]", "[1,]", "[]", "[,]", "[1 2]", "[-1, 2.5, [3, [True, None]]]", "True", "None",
               "TrueX", "-True", "+-5", "[1,\t2]", "1_0", "1.e5", ".e5", "1e", "[", "[" * 40 + "1" + "]" * 40]


@pytest.mark.parametrize("text", PLAIN_TEXTS)
@pytest.mark.parametrize("vtype", ["eval", "int"])
def test_plain_literals_match_builtin_eval(text, vtype):
    def reference():
        value = eval(text, vars(tp), {})
        return int(value) if vtype == "int" else value

    outcomes = []
    for run in (lambda: SheetParameters()._parse_value(text, vtype), reference):
        try:
            value = run()
            outcomes.append((repr(value), type(value)))
        except Exception as e:  # the same kind of error is expected of both
            outcomes.append((type(e),))
    assert outcomes[0] == outcomes[1]


def test_replaced_eval_is_called_even_for_plain_literals(monkeypatch):
    seen = []
    monkeypatch.setattr(builtins, "eval", lambda text, g, l: seen.append(text) or 41)
    assert SheetParameters()._parse_value("5", "int") == 41
    assert SheetParameters()._parse_value("[1]", "eval") == 41
    assert seen == ["5", "[1]"]
    assert SheetParameters(False)._parse_value("6", "int") == 6


@pytest.mark.parametrize("text", [
    "abs(-1)", "(1).real", "[1][0]", "[x for x in (1,)]", "lambda: 1", "1 if True else 2", "1 < 2", "~1",
    "1 << 2", "1 and 2", "'%s' % 1", "None", "f'{1}'",
    pytest.param("(x := 1)", marks=pytest.mark.skipif(sys.version_info < (3, 8), reason=":= arrived in 3.8")),
    "[1, 2]", "{1: 2}", "abc + f()",
    "__import__('os').getpid()",
])
def test_restricted_int_refuses_everything_but_literal_arithmetic(text):
    with pytest.raises(ValueError) as info:
        SheetParameters(False)._parse_value(text, "int")
    assert text in str(info.value)


@pytest.mark.parametrize("text", ["9**9**9", "2**10**7", "'a' * 10**9", "b'ab' * 10**8",
                                  "(2**200000) * (2**200000)", "('x' * 90000) + ('y' * 90000)"])
def test_restricted_int_refuses_enormous_results(text):
    with pytest.raises(ValueError, match="too large"):
        SheetParameters(False)._parse_value(text, "int")


def test_restricted_int_keeps_large_but_bounded_results():
    table = SheetParameters(False)
    assert table._parse_value("2**1000", "int") == 2 ** 1000
    assert table._parse_value("(-1)**(10**30) + 0**(10**30)", "int") == 1
    assert table._parse_value("2**-2", "int") == 0


def test_full_eval_when_the_flag_is_true():
    assert SheetParameters("yes")._parse_value("__import__('os').getpid()", "int") > 0


def test_str_subclasses_go_through_their_own_methods():
    class Type(str):
        def strip(self):
            return "int"

    class Content:
        def __str__(self):
            return " 41 + 1 "

    assert SheetParameters(False)._parse_value(Content(), Type("whatever")) == 42
