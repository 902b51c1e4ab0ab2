// Plain literal cell texts, read without the host's compiler.
#pragma once

#include "module/ref.hpp"

namespace tp {

// The value that the host's eval gives `text` (a str), when `text` is a plain
// literal: an integer (0, up to 18 decimal digits without a leading zero, or
// 0x and up to 15 hex digits), a decimal float (digits, point, exponent, no
// underscores), either with one leading sign, True, False, None, or a list of
// such values (nested lists too), with blanks and tabs between the tokens.
// For any other text an empty Ref, and no error: the caller then evaluates it
// the general way. Compiling a one-line expression costs several microseconds
// and disturbs the caches; these are the texts that parameter sheets hold
// most often.
Ref plain_literal(PyObject* text);

}  // namespace tp
