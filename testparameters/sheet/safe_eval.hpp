// The evaluator of "int" cells in a table that does not permit evaluating
// code: the cell text is parsed by the host's compiler into a syntax tree,
// and only literal arithmetic in that tree is carried out here. Nothing of
// the text is ever compiled to code or run.
#pragma once

#include "module/state.hpp"

namespace tp {

// Largest integer result of one operation, in bits, and longest str or bytes
// result, in characters or bytes.
constexpr size_t kSafeEvalMaxBits = (size_t)1 << 18;
constexpr Py_ssize_t kSafeEvalMaxLength = 100000;
// Bounds of the cell text, checked before the compiler sees it: characters,
// tokens (numbers, names, texts, operators and brackets), and how deeply
// brackets nest. Within them every supported interpreter parses the text
// without running out of parser stack or recursion depth.
constexpr Py_ssize_t kSafeEvalMaxSource = 10000;
constexpr long kSafeEvalMaxTokens = 1000;
constexpr long kSafeEvalMaxNesting = 25;
// The work one cell may take, in units of about a nanosecond on the machines
// the module was measured on: each operation is charged what it will cost
// (from the sizes of its operands) before it is carried out.
constexpr double kSafeEvalBudget = 40e6;
// How much of the cell text a message quotes.
constexpr Py_ssize_t kSafeEvalQuote = 100;

// int() of the value of the expression `source` (a str). Allowed: numeric
// literals in the host's syntax, True and False, str and bytes literals,
// unary + and -, binary + - * / // % ** and parentheses.
//  * a syntax error is the host's SyntaxError (its text cut to about 100
//    characters around the error);
//  * a name raises NameError "name 'x' is not defined";
//  * anything else (a call, an attribute, a subscript, a container, a
//    comprehension, a lambda, None, ...) raises ValueError naming the text,
//    before any of the expression is evaluated;
//  * a text beyond the bounds above, an operation whose result would exceed
//    them or a cell whose work would exceed the budget raises ValueError
//    instead of being carried out;
//  * the operations themselves raise what the host raises (ZeroDivisionError,
//    TypeError for "a" - 1, OverflowError, ...).
// Messages quote at most the first 100 characters of the text.
Ref safe_eval_int(const Names& n, PyObject* source);

}  // namespace tp
