// SheetParameters.save: the table written into its worksheet of an open
// workbook, one row per registered name from row 2, in the sheet layout that
// loading reads.
#include "module/members.hpp"
#include "module/xl.hpp"

namespace tp {
namespace {

constexpr int kNameColumn = 6;
constexpr int kColumns = 7;

const char* const kHeader[kColumns] = {"Description", "Value", "Low", "Up", "Unit", "Name", "Type"};

// What an eval-typed record writes for `value`: its text form, except None.
Ref eval_form(bool teval, Ref value) {
    if (teval && value.get() != Py_None) return str(value);
    return value;
}

// Whether a Name cell below the written rows belongs to the table: its content,
// or its text stripped of blanks, is one of the registered names.
bool names_registered(const Call& c, PyObject* names, PyObject* content) {
    if (content == Py_None) return false;
    if (contains(names, content)) return true;
    Ref stripped = call_method(str(content), c.n().strip);
    return contains(names, stripped);
}

// Rows `first` to `last_before` of an existing worksheet may still hold rows
// of the table as it was in the file (repeated names, or rows after empty
// ones that loading skipped), which a later load would read again. Empties
// columns 1 to 7 from `first` down to the last of them whose name is
// registered; nothing below it is touched.
void clear_old_rows(const Call& c, xl::SheetWriter& sheet, PyObject* names, Py_ssize_t first,
                    Py_ssize_t last_before) {
    Py_ssize_t last = 0;
    for (Py_ssize_t row : sheet.rows_with_cell(kNameColumn, first, last_before)) {
        Ref content = sheet.read(row, kNameColumn);
        if (names_registered(c, names, content)) last = row;
    }
    for (Py_ssize_t row = first; row <= last; ++row)
        for (int column = 1; column <= kColumns; ++column) sheet.clear(row, column);
}

}  // namespace

// save(self, book)
Ref sheet_save(const Call& c) {
    const Names& n = c.n();
    PyObject* self = c.self();
    PyObject* book = c[1];

    Ref title = getattr(self, n.sheet_name_attr);
    const bool existed = xl::has_sheet(c, book, title);
    xl::SheetWriter sheet(c, existed ? xl::sheet(c, book, title) : xl::create_sheet(c, book, title));
    // How far the rows already in the worksheet reach, before this call adds any.
    const Py_ssize_t last_before = existed ? sheet.max_row() : 0;

    if (!existed) {
        for (int column = 1; column <= kColumns; ++column) sheet.write(1, column, text(kHeader[column - 1]));
    }

    Ref names = getattr(self, n.all_names);
    Ref it = check(PyObject_GetIter(names));
    Py_ssize_t row = 2;
    while (Ref name = Ref::steal(PyIter_Next(it))) {
        Ref para = getattr(self, name);
        Ref type = getattr(para, n.type);
        const bool teval = truth(check(PyObject_RichCompare(type, n.eval_type, Py_EQ)));
        // Each cell's content is read from the record just before its cell is written.
        sheet.write(row, 1, getattr(para, n.desc));
        sheet.write(row, 2, eval_form(teval, getattr(para, n.value)));
        sheet.write(row, 3, eval_form(teval, getattr(para, n.low)));
        sheet.write(row, 4, eval_form(teval, getattr(para, n.up)));
        sheet.write(row, 5, getattr(para, n.unit));
        sheet.write(row, 6, getattr(para, n.name));
        sheet.write(row, 7, getattr(para, n.type));
        ++row;
    }
    if (PyErr_Occurred()) raise();

    if (existed) clear_old_rows(c, sheet, names, row, last_before);
    return none();
}

}  // namespace tp
