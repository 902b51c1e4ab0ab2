"""The restricted evaluator of "int" cells bounds the work of a whole cell and
the size of what it quotes."""

import pytest

from orv_testparameters import SheetParameters

BIG_MOD = "(3**165000)%(7**80000)"


def parse(text):
    return SheetParameters(False)._parse_value(text, "int")


@pytest.mark.parametrize("text, why", [
    ("+".join([BIG_MOD] * 3), "too long to compute"),
    ("+".join(["(3**40000)"] * 100), "too long to compute"),
    ("+".join(["1"] * 1500), "more than 1000"),
    ("+".join([BIG_MOD] * 200), "more than 1000"),
    ("-" * 5000 + "1", "more than 1000"),
    ("not " * 2000 + "1", "more than 1000"),
    ("(" * 26 + "1" + ")" * 26, "nested more than 25"),
    ("(-" * 60 + "1" + ")" * 60, "nested more than 25"),
    ("1" * 10001, "longer than 10000"),
    ("1" * 5000000, "longer than 10000"),
], ids=["budget_3_mods", "budget_100_pows", "tokens_sum", "tokens_200_mods", "tokens_signs", "tokens_not",
        "depth_parens", "depth_signs", "length", "length_5M"])
def test_too_costly_long_or_deep_cells_are_refused(text, why):
    with pytest.raises(ValueError) as info:
        parse(text)
    assert why in str(info.value)
    assert len(str(info.value)) < 250


@pytest.mark.parametrize("text, expected", [
    (BIG_MOD, lambda: (3 ** 165000) % (7 ** 80000)),
    ("+".join(["1"] * 500), lambda: 500),
    ("(" * 25 + "2" + ")" * 25, lambda: 2),
    ("-" * 900 + "1", lambda: 1),
    # Brackets inside a text do not count; "and" is refused as always.
    ("'" + "(" * 40 + "' and 1", None),
], ids=["largest_mod", "sum_of_500", "25_brackets", "900_signs", "brackets_in_text"])
def test_large_but_bounded_cells_still_evaluate(text, expected):
    if expected is None:
        with pytest.raises(ValueError, match="only numbers"):
            parse(text)
    else:
        assert parse(text) == expected()


@pytest.mark.parametrize("text, error", [
    ("x" * 9000, NameError),
    ("abs(" + "x" * 9000 + ")", ValueError),
    ("'" + "x" * 9000 + "' +", SyntaxError),
], ids=["name", "call", "syntax"])
def test_errors_quote_at_most_about_100_characters_of_the_cell(text, error):
    with pytest.raises(error) as info:
        parse(text)
    assert len(str(info.value)) < 250
    if error is SyntaxError:
        assert len(info.value.text) <= 106 and 1 <= info.value.offset <= len(info.value.text) + 1
