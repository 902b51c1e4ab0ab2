// SheetParameters.save: the table written into its worksheet of an open
// workbook, one row per registered name from row 2, in the sheet layout that
// loading reads.
//
// The save changes only what the caller changed. After a load, a cell is left
// as it is when its row is written where it was loaded from, the record's
// attribute is still what loading made of the cell, and the cell still holds
// what loading read (so formulas, untyped numbers, expressions and texts
// stay exactly as they were). Every other cell is written in a form that
// loading reads back as the table holds it, or the save is refused, naming
// the cell. Columns A to G change only in the rows the table is written to
// and in the rows that a load reads (the table's region). Everything is
// worked out and checked before the first cell is written.
#include "module/members.hpp"
#include "module/xl.hpp"
#include "sheet/load_record.hpp"
#include "sheet/safe_eval.hpp"
#include "sheet/strops.hpp"

#include <datetime.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <vector>

namespace tp {
namespace {

constexpr int kNameColumn = 6;
constexpr int kColumns = 7;
// What one cell can hold; the library silently cuts longer texts.
constexpr Py_ssize_t kMaxText = 32767;

const char* const kHeader[kColumns] = {"Description", "Value", "Low", "Up", "Unit", "Name", "Type"};

// How loading reads a Value, Low or Up cell of a row, by the row's type.
enum class Reading {
    Raw,    // "auto" (and types loading does not know): the content itself
    Text,   // "str", "unicode", "string", "bytes": str(content).strip()
    Int,    // int() of the text evaluated
    Float,  // float() of the text
    Bool,   // the text's first letter
    Eval,   // the text evaluated
};

// The row's type as loading normalises it. `teval` is the record's
// `type == "eval"`, which makes the row eval-typed whatever the text says.
Reading reading_of(const Names& n, PyObject* type, bool teval) {
    if (teval) return Reading::Eval;
    if (type == Py_None) return Reading::Text;
    if (!PyUnicode_Check(type)) return Reading::Raw;  // a row loading cannot read either
    Ref t = strops::lower(n, strops::strip(n, type));
    if (strops::equals(t, "")) return Reading::Text;
    if (strops::equals(t, "auto")) return Reading::Raw;
    for (const char* name : {"unicode", "str", "string", "bytes"})
        if (strops::equals(t, name, std::strlen(name))) return Reading::Text;
    if (strops::equals(t, "int")) return Reading::Int;
    if (strops::equals(t, "float")) return Reading::Float;
    if (strops::equals(t, "bool") || strops::equals(t, "boolean")) return Reading::Bool;
    if (strops::equals(t, "eval")) return Reading::Eval;
    return Reading::Raw;
}

// --- where a failure is -------------------------------------------------

// The sheet title as a formula would write it: quoted ('My sheet') unless it
// is letters, digits and underscores not starting with a digit.
Ref sheet_label(PyObject* title) {
    Ref t = str(title);
    if (!compat::unicode_ready(t)) raise();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(t.get());
    bool plain = len > 0;
    for (Py_ssize_t i = 0; i < len && plain; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(t.get(), i);
        plain = ch == '_' || (ch < 128 && std::isalnum((int)ch) && !(i == 0 && std::isdigit((int)ch)));
    }
    if (plain) return t;
    Ref quote = text("'"), doubled = text("''");
    Ref escaped = check(PyUnicode_Replace(t, quote, doubled, -1));
    return check(PyUnicode_FromFormat("'%U'", escaped.get()));
}

struct Where {
    PyObject* title;
    Py_ssize_t row;
    int column;
    PyObject* name;  // the parameter's name, or null
};

// "Supply!B7 (parameter VDD)"
Ref location(const Where& w) {
    Ref label = sheet_label(w.title);
    const char letter = static_cast<char>('A' + w.column - 1);
    if (!w.name) return check(PyUnicode_FromFormat("%U!%c%zd", label.get(), letter, w.row));
    return check(PyUnicode_FromFormat("%U!%c%zd (parameter %S)", label.get(), letter, w.row, w.name));
}

// A short printed form of `v` for a message.
Ref short_repr(PyObject* v) {
    PyObject* r = PyObject_Repr(v);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
        PyErr_Clear();
        return check(PyUnicode_FromFormat("a value of type %s", Py_TYPE(v)->tp_name));
    }
    Ref repr = Ref::steal(r);
    if (PyUnicode_GetLength(repr) <= 60) return repr;
    Ref head = check(PyUnicode_Substring(repr, 0, 57));
    return check(PyUnicode_FromFormat("%U...", head.get()));
}

// Raises `type` with `message`; the exception in flight, when there is one,
// becomes its cause.
[[noreturn]] void raise_with_cause(PyObject* type, PyObject* message) {
    Ref cause = Ref::steal(compat::error_take());
    Ref exc = call(type, message);
    if (cause) PyException_SetCause(exc, cause.release());
    compat::error_raise(exc.release());
    raise();
}

// The save refuses `v`: no form of it reads back as the table holds it.
[[noreturn]] void refuse(const Where& w, PyObject* v, const char* why) {
    Ref loc = location(w);
    Ref what = short_repr(v);
    Ref message = check(
        PyUnicode_FromFormat("%U: %U cannot be stored so that it reads back the same: %s", loc.get(), what.get(), why));
    raise_with_cause(PyExc_ValueError, message);
}

// The library refused to store a cell: the same error again, of the same
// type, its message led by the cell and the parameter. An exception type
// that cannot be made from one message keeps its own object and gets the
// location as a note.
[[noreturn]] void relocate(const Call& c, const Where& w) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) raise();
    Ref original = Ref::steal(compat::error_take());
    Ref loc = location(w);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(original.get()));
    PyObject* said = PyObject_Str(original);
    if (said) {
        Ref message = check(PyUnicode_FromFormat("%U: %U", loc.get(), said));
        Py_DECREF(said);
        PyObject* made = PyObject_CallFunctionObjArgs(type, message.get(), nullptr);
        if (made && Py_TYPE(made) == Py_TYPE(original.get())) {
            PyException_SetCause(made, original.release());
            compat::error_raise(made);
            raise();
        }
        Py_XDECREF(made);
    }
    PyErr_Clear();
    // The location is worth a note, not an error of its own in place of the
    // library's.
    if (compat::add_note(original, loc, c.n().add_note, c.n().notes) < 0) PyErr_Clear();
    compat::error_raise(original.release());
    raise();
}

// --- the forms a value is written in ------------------------------------

// Whether the int `v` fits a double exactly: |v| <= 2**53.
bool fits_double(PyObject* v) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) raise();
    const long long limit = 1LL << 53;
    return overflow == 0 && x <= limit && x >= -limit;
}

bool is_time_value(PyObject* v) { return PyDateTime_Check(v) || PyDate_Check(v) || PyTime_Check(v) || PyDelta_Check(v); }

// Whether a time value has a part below a millisecond, which the library
// does not read back.
bool below_millisecond(PyObject* v) {
    if (PyDateTime_Check(v)) return PyDateTime_DATE_GET_MICROSECOND(v) % 1000 != 0;
    if (PyTime_Check(v)) return PyDateTime_TIME_GET_MICROSECOND(v) % 1000 != 0;
    if (PyDelta_Check(v)) return PyDateTime_DELTA_GET_MICROSECONDS(v) % 1000 != 0;
    return false;
}

bool has_timezone(const Names& n, PyObject* v) {
    if (!PyDateTime_Check(v) && !PyTime_Check(v)) return false;
    Ref tz = getattr_opt(v, n.tzinfo);
    return tz && tz.get() != Py_None;
}

struct Forms {
    const Call& c;
    Ref literal_eval;  // ast.literal_eval, looked up when first needed

    // A text to be written, refused when a cell cannot hold all of it.
    Ref checked_text(const Where& w, Ref s, PyObject* v) {
        if (PyUnicode_Check(s) && PyUnicode_GetLength(s) > kMaxText) refuse(w, v, "a cell holds at most 32767 characters");
        return s;
    }

    // str(v), the text a row that reads text makes of the value.
    Ref text_of(const Where& w, PyObject* v) {
        PyObject* s = PyObject_Str(v);
        if (!s) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise();
            refuse(w, v, "its decimal text cannot be made (the interpreter limits integer digits)");
        }
        return checked_text(w, Ref::steal(s), v);
    }

    // An eval-typed value: its repr(), when ast.literal_eval reads that back
    // as an equal value. Nothing is evaluated but literals.
    Ref eval_text(const Where& w, PyObject* v) {
        auto refused = [&](const char* why) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
            refuse(w, v, why);
        };
        PyObject* r = PyObject_Repr(v);
        if (!r) refused("its repr() failed");
        Ref repr = checked_text(w, Ref::steal(r), v);
        if (!literal_eval) {
            Ref ast = check(PyImport_Import(c.n().mod_ast));
            literal_eval = getattr(ast, c.n().literal_eval);
        }
        PyObject* back = PyObject_CallFunctionObjArgs(literal_eval, repr.get(), nullptr);
        if (!back) refused("ast.literal_eval does not read its repr() back");
        Ref hold = Ref::steal(back);
        const int same = PyObject_RichCompareBool(hold, v, Py_EQ);
        if (same < 0) refused("its repr() read back by ast.literal_eval cannot be compared with it");
        if (!same) refuse(w, v, "its repr() read back by ast.literal_eval is not equal to it");
        return repr;
    }

    // What is written for `v` in a row read as `reading` (columns A, E, F
    // and G are always read Raw). Numbers, booleans, texts and dates go to
    // the library as they are where loading reads them back equal; where a
    // number or date would not read back (too large for a double, inf and
    // nan, a float that would come back as an integer, a date that would
    // come back with a time, time below a millisecond), rows that read text
    // get the value's text, which they read back exactly as loading reads
    // the value itself; other rows refuse what cannot read back. Loading
    // reads integral numbers as integers (3.0 comes back as 3) and dates as
    // date-times at midnight; "auto" rows take that as the library's own
    // conversion. Time values keep milliseconds, as the library reads them.
    Ref form(const Where& w, Reading reading, PyObject* v) {
        const Names& n = c.n();
        if (v == Py_None) return none();
        if (reading == Reading::Eval) return eval_text(w, v);
        const bool reads_text = reading != Reading::Raw;
        if (PyBool_Check(v)) return Ref::borrow(v);
        if (PyFloat_Check(v)) {
            const double d = PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred()) raise();
            if (!std::isfinite(d)) {
                if (reading == Reading::Text || reading == Reading::Float || reading == Reading::Bool)
                    return text_of(w, v);  // inf, -inf, nan
                refuse(w, v,
                       reading == Reading::Int ? "a number cell cannot hold it, and a row of type \"int\" does not read "
                                                 "it from text"
                                               : "a number cell cannot hold it");
            }
            // 3.0 would come back as the integer 3, whose text is "3".
            if (reading == Reading::Text && d == std::floor(d)) return text_of(w, v);
            return Ref::borrow(v);
        }
        if (PyLong_Check(v)) {
            if (fits_double(v)) return Ref::borrow(v);
            if (!reads_text) refuse(w, v, "a number cell holds integers exactly only up to 2**53");
            Ref text = text_of(w, v);
            // An "int" cell is read through the evaluator, which reads no
            // longer text where workbook code is not run.
            if (reading == Reading::Int && PyUnicode_GetLength(text) > kSafeEvalMaxSource)
                refuse(w, v, "its decimal text is longer than the 10000 characters an \"int\" cell is read from");
            return text;
        }
        if (is_time_value(v)) {
            if (has_timezone(n, v)) {
                Ref loc = location(w);
                Ref message = check(PyUnicode_FromFormat(
                    "%U: a cell cannot hold a datetime or time with a timezone: set its tzinfo to None", loc.get()));
                PyErr_SetObject(PyExc_TypeError, message);
                raise();
            }
            // A date comes back as a date-time at midnight, whose text is longer.
            const bool plain_date = PyDate_Check(v) && !PyDateTime_Check(v);
            if (reading == Reading::Text && (below_millisecond(v) || plain_date)) return text_of(w, v);
            return Ref::borrow(v);
        }
        if (PyUnicode_Check(v)) return checked_text(w, Ref::borrow(v), v);
        return Ref::borrow(v);
    }
};

// --- the table's region ---------------------------------------------------

// Whether a Name cell's content makes its row a parameter row, as loading decides.
bool is_name(const Names& n, PyObject* content) {
    return content != Py_None && !strops::equals(strops::str_stripped(n, content), "");
}

// Whether a Name cell's content, or its text stripped of blanks, is one of
// the registered names.
bool names_registered(const Names& n, PyObject* names, PyObject* content) {
    if (contains(names, content)) return true;
    Ref stripped = call_method(str(content), n.strip);
    return contains(names, stripped);
}

// A run of `run` empty rows ends the table (more than max_empty_row, by the
// host's `>`).
bool ends_table(PyObject* max_empty_row, Py_ssize_t run) {
    if (PyLong_CheckExact(max_empty_row)) {
        int overflow = 0;
        const long long k = PyLong_AsLongLongAndOverflow(max_empty_row, &overflow);
        if (k == -1 && PyErr_Occurred()) raise();
        if (overflow) return overflow < 0;
        return run > k;
    }
    Ref r = check(PyLong_FromSsize_t(run));
    return truth(check(PyObject_RichCompare(r, max_empty_row, Py_GT)));
}

// How many empty rows may follow the table's last row before the next name
// no longer joins it; LLONG_MAX-like for a huge max_empty_row.
Py_ssize_t joining_rows(PyObject* max_empty_row, Py_ssize_t bound) {
    Py_ssize_t k = 0;
    while (k < bound && !ends_table(max_empty_row, k + 1)) ++k;
    return k;
}

struct Write {
    Py_ssize_t row;
    int column;
    Ref content;
    Ref name;  // the parameter, or empty for a stale row being emptied
};

[[noreturn]] void refuse_row(PyObject* title, Py_ssize_t row, const char* what, PyObject* detail) {
    Ref label = sheet_label(title);
    Ref message = detail ? check(PyUnicode_FromFormat("%U row %zd: %s %R%s", label.get(), row, what, detail,
                                                      "; nothing was written"))
                         : check(PyUnicode_FromFormat("%U row %zd: %s; nothing was written", label.get(), row, what));
    PyErr_SetObject(PyExc_ValueError, message);
    raise();
}

// The rows of an existing worksheet that the table's region decides about:
// its stale rows are emptied (into `plan`), and a table that has grown past
// it is refused where it would overwrite other content or take in the rows
// below it. `last` is the last row the table is written to.
void plan_region(const Call& c, xl::SheetWriter& sheet, PyObject* title, PyObject* names, PyObject* max_empty_row,
                 Py_ssize_t last, std::vector<Write>& plan) {
    const Names& n = c.n();
    const Py_ssize_t max_row = sheet.max_row();
    // The parameter rows a load reads now, in order, and where they end.
    std::vector<Py_ssize_t> named;
    Py_ssize_t region_end = 1;
    for (Py_ssize_t row : sheet.rows_with_cell(kNameColumn, 2, max_row)) {
        Ref content = sheet.read(row, kNameColumn);
        if (!is_name(n, content)) continue;
        if (ends_table(max_empty_row, row - region_end - 1)) break;
        named.push_back(row);
        region_end = row;
    }
    // Old rows of the table below the written ones, which a later load would
    // read again: emptied in columns A to G.
    for (Py_ssize_t row : named) {
        if (row <= last) continue;
        Ref content = sheet.read(row, kNameColumn);
        if (!names_registered(n, names, content)) continue;
        for (int column = 1; column <= kColumns; ++column)
            if (!sheet.known_empty(row, column)) plan.push_back({row, column, none(), Ref()});
    }
    if (last <= region_end) return;
    // The table has grown past its region: the rows it now takes must be
    // empty, and no name may follow close enough to join it on the next load.
    for (Py_ssize_t row = region_end + 1; row <= last && row <= max_row; ++row)
        for (int column = 1; column <= kColumns; ++column)
            if (sheet.read(row, column).get() != Py_None)
                refuse_row(title, row, "the grown table would overwrite what this row holds in columns A to G",
                           nullptr);
    const Py_ssize_t reach = last + 1 + joining_rows(max_empty_row, max_row);
    for (Py_ssize_t row : sheet.rows_with_cell(kNameColumn, last + 1, reach < max_row ? reach : max_row)) {
        Ref content = sheet.read(row, kNameColumn);
        if (is_name(n, content))
            refuse_row(title, row, "the next load would read this row into the grown table: it holds the name",
                       content);
    }
}

// No cell the save writes may lie in a merged range.
void check_merged(xl::SheetWriter& sheet, PyObject* title, const std::vector<Write>& plan) {
    const std::vector<xl::MergedRange> ranges = sheet.merged_ranges(1, kColumns);
    if (ranges.empty()) return;
    for (const Write& w : plan)
        for (const xl::MergedRange& m : ranges) {
            if (w.row < m.min_row || w.row > m.max_row || w.column < m.min_col || w.column > m.max_col) continue;
            Ref label = sheet_label(title);
            Ref cell = location({title, w.row, w.column, w.name.get()});
            Ref message = check(PyUnicode_FromFormat(
                "%U!%U: the save would write %U, which lies in this merged range; unmerge it first (nothing was "
                "written)",
                label.get(), m.coord.get(), cell.get()));
            PyErr_SetObject(PyExc_ValueError, message);
            raise();
        }
}

// The load's entry for `name`, when it was loaded from `row`.
PyObject* entry_at(PyObject* entries, PyObject* name, Py_ssize_t row) {
    PyObject* entry = PyDict_GetItemWithError(entries, name);
    if (!entry) {
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise();
            PyErr_Clear();
        }
        return nullptr;
    }
    const Py_ssize_t loaded = PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, sheet::kRow));
    if (loaded == -1 && PyErr_Occurred()) raise();
    return loaded == row ? entry : nullptr;
}

TP_ARGUMENTS(SaveArgs, self, book);

// save(self, book)
Ref sheet_save(const Call& c, const SaveArgs& a) {
    const Names& n = c.n();
    PyObject* self = a.self;
    PyObject* book = a.book;
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) raise();
    }

    Ref title = getattr(self, n.sheet_name_attr);
    const bool existed = xl::has_sheet(c, book, title);
    xl::SheetWriter sheet(c, existed ? xl::sheet(c, book, title) : xl::create_sheet(c, book, title));
    if (!existed) {
        for (int column = 1; column <= kColumns; ++column) sheet.write(1, column, text(kHeader[column - 1]));
    }

    sheet::LoadRecord record;
    const bool loaded = sheet::find_load_record(c, self, record);
    // Cells are left as they are only in the worksheet the table was loaded from.
    const bool same_sheet = loaded && existed && eq(record.title, title);

    Ref names = getattr(self, n.all_names);
    Ref it = check(PyObject_GetIter(names));
    Forms forms{c, Ref()};
    std::vector<Write> plan;
    Py_ssize_t row = 2;
    while (Ref name = Ref::steal(PyIter_Next(it))) {
        Ref para = getattr(self, name);
        const bool teval = truth(check(PyObject_RichCompare(getattr(para, n.type), n.eval_type, Py_EQ)));
        // The record's attributes, in the order of their columns.
        Ref cells[kColumns];
        PyObject* const attributes[kColumns] = {n.desc, n.value, n.low, n.up, n.unit, n.name, n.type};
        for (int i = 0; i < kColumns; ++i) cells[i] = getattr(para, attributes[i]);
        const Reading reading = reading_of(n, cells[kColumns - 1], teval);

        PyObject* entry = same_sheet ? entry_at(record.entries, name, row) : nullptr;
        // The typed cells are read by the row's type: a new type writes them anew.
        const bool type_kept =
            entry && sheet::unchanged(PyTuple_GET_ITEM(entry, sheet::kFirstCell + kColumns - 1), cells[kColumns - 1]);
        for (int column = 1; column <= kColumns; ++column) {
            PyObject* v = cells[column - 1];
            const bool typed = column >= 2 && column <= 4;
            if (entry && (!typed || type_kept) &&
                sheet::unchanged(PyTuple_GET_ITEM(entry, sheet::kFirstCell + column - 1), v)) {
                PyObject* raw = PyTuple_GET_ITEM(entry, typed ? sheet::kRawValue + column - 2 : sheet::kFirstCell + column - 1);
                if (sheet.holds(row, column, raw)) continue;
            }
            const Where where{title, row, column, name};
            Ref content = forms.form(where, typed ? reading : Reading::Raw, v);
            if (content.get() == Py_None && sheet.known_empty(row, column)) continue;
            plan.push_back({row, column, std::move(content), name.copy()});
        }
        ++row;
    }
    if (PyErr_Occurred()) raise();

    if (existed) {
        Ref zero = integer(0);
        plan_region(c, sheet, title, names, loaded ? record.max_empty_row.get() : zero.get(), row - 1, plan);
        check_merged(sheet, title, plan);
    }

    for (const Write& w : plan) {
        try {
            sheet.write(w.row, w.column, w.content);
        } catch (const PyError&) {
            relocate(c, {title, w.row, w.column, w.name.get()});
        }
    }
    return none();
}

}  // namespace

const Member kSheetSave = method<SaveArgs, sheet_save>("save", "(self, book)");

}  // namespace tp
