// The evaluator of "int" cells in a table that does not permit evaluating
// code: the cell text is parsed by the host's compiler into a syntax tree,
// and only literal arithmetic in that tree is carried out here. Nothing of
// the text is ever compiled to code or run.
#pragma once

#include "module/ref.hpp"

namespace tp {

// Largest integer result of one operation, in bits, and longest str or bytes
// result (and longest source text), in characters or bytes.
constexpr size_t kSafeEvalMaxBits = (size_t)1 << 18;
constexpr Py_ssize_t kSafeEvalMaxLength = 100000;

// The value of the expression `source` (a str). Allowed: numeric literals in
// the host's syntax, True and False, str and bytes literals, unary + and -,
// binary + - * / // % ** and parentheses.
//  * a syntax error is the host's SyntaxError;
//  * a name raises NameError "name 'x' is not defined";
//  * anything else (a call, an attribute, a subscript, a container, a
//    comprehension, a lambda, None, ...) raises ValueError naming the text,
//    before any of the expression is evaluated;
//  * an operation whose result would exceed the bounds above raises ValueError
//    instead of being carried out;
//  * the operations themselves raise what the host raises (ZeroDivisionError,
//    TypeError for "a" - 1, OverflowError, ...).
Ref safe_eval(PyObject* source);

}  // namespace tp
