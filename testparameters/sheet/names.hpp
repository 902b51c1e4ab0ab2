// Membership in a table's `_all_names`, answered without scanning the list
// where that gives exactly what the list's own `in` gives.
//
// Each table (while it lives: a weak reference drops it) may have a set of
// the names its list held when last looked at, with a copy of the list. The
// set answers only when
//  * the list read now holds the very objects of the copy, in order (the
//    copy holds them, so that none can have been freed and its address
//    reused), which rules out every change a caller can make: append,
//    insertion, removal, item or slice assignment, sorting, another list
//    put in its place (whose answer is then the same);
//  * the name asked for and every element are exact str objects, whose ==
//    and hash are the interpreter's own: then `name in list` is true exactly
//    when an element has the same characters, and asking runs no code.
// Anything else (a str subclass, a name with its own __eq__, another kind of
// sequence) is scanned as `in` scans it. Comparing pointers is a fraction of
// the cost of comparing the names (a few hundred nanoseconds for 500 names);
// the set is made only once the list has stayed unchanged for several look-ups.
#pragma once

#include "module/function.hpp"

namespace tp::sheet {

// `name in names`, `names` being the table's (c.self()) _all_names as read just now.
bool has_name(const Call& c, PyObject* names, PyObject* name);

// set_parameter's registration: `name` appended to `names` (the table's
// _all_names as read just now) unless it is in it; appended through the
// object's own append() when it is not an exact list.
void add_name(const Call& c, PyObject* names, PyObject* name);

// table.sheet_name(). The answer is remembered, and given again without the
// call while the call would give it: while the method found is the module's
// own, which reads _sheet_name from the table's namespace, and neither the
// table's class (nor a class on its MRO) nor its namespace has changed since,
// as their version tags tell (every change of a dict or a class gives it a new
// tag, unique in the process).
Ref title_of(const Call& c, PyObject* table);

}  // namespace tp::sheet
