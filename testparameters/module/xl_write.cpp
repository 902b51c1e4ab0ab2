// The writing side of the spreadsheet library: opening a workbook for
// editing, creating one, its worksheets and cells, and storing it.
#include "module/xl.hpp"

#include <algorithm>

namespace tp::xl {

Ref open_editable(const Call& c, PyObject* bookname) { return call(c.global(c.n().load_workbook), bookname); }

Ref new_workbook(const Call& c) { return call(c.global(c.n().Workbook)); }

void remove_active_sheet(const Call& c, PyObject* book) {
    const Names& n = c.n();
    Ref active = getattr(book, n.active);
    call_method(book, is_library_workbook(c, book) ? n.remove : n.remove_sheet, active);
}

void save(const Call& c, PyObject* book, PyObject* filename) { call_method(book, c.n().save, filename); }

Ref create_sheet(const Call& c, PyObject* book, PyObject* title) {
    return call_method(book, c.n().create_sheet, title);
}

namespace {

// The cell store of the library's own editable worksheet, a dict keyed by
// (row, column); empty for any other object.
Ref cell_store(PyObject* sheet) {
    Ref module = check(PyImport_ImportModule("openpyxl.worksheet.worksheet"));
    Ref worksheet_class = getattr_opt(module, Ref(text("Worksheet")));
    if (!worksheet_class || reinterpret_cast<PyObject*>(Py_TYPE(sheet)) != worksheet_class.get()) return Ref();
    Ref cells = getattr_opt(sheet, Ref(text("_cells")));
    return cells && PyDict_CheckExact(cells.get()) ? std::move(cells) : Ref();
}

Ref cell_key(Py_ssize_t row, int column) {
    return check(Py_BuildValue("(ni)", row, column));
}

}  // namespace

SheetWriter::SheetWriter(const Call& c, Ref sheet)
    : c_(c), sheet_(std::move(sheet)), cell_(getattr(sheet_, c.n().cell)), cells_(cell_store(sheet_)) {}

std::vector<Py_ssize_t> SheetWriter::rows_with_cell(int column, Py_ssize_t first, Py_ssize_t last) {
    std::vector<Py_ssize_t> rows;
    if (!cells_) {
        for (Py_ssize_t row = first; row <= last; ++row) rows.push_back(row);
        return rows;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(cells_, &pos, &key, &value)) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) continue;
        Py_ssize_t row = PyLong_AsSsize_t(PyTuple_GET_ITEM(key, 0));
        if (row == -1 && PyErr_Occurred()) raise();
        long col = PyLong_AsLong(PyTuple_GET_ITEM(key, 1));
        if (col == -1 && PyErr_Occurred()) raise();
        if (col == column && row >= first && row <= last) rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void SheetWriter::clear(Py_ssize_t row, int column) {
    if (cells_) {
        Ref key = cell_key(row, column);
        if (!PyDict_GetItemWithError(cells_, key)) {
            if (PyErr_Occurred()) raise();
            return;
        }
    }
    write(row, column, Py_None);
}

Py_ssize_t SheetWriter::max_row() const {
    Ref last = getattr_opt(sheet_, c_.n().max_row);
    if (!last || last.get() == Py_None) return 0;
    Py_ssize_t row = PyLong_AsSsize_t(last);
    if (row == -1 && PyErr_Occurred()) raise();
    return row;
}

Ref SheetWriter::cell_at(Py_ssize_t row, int column) {
    if (!row_obj_ || row != row_) {
        row_obj_ = check(PyLong_FromSsize_t(row));
        row_ = row;
    }
    Ref column_obj = integer(column);
    return call_kw(cell_, {row_obj_.get(), column_obj.get()}, c_.st.kw_cell);
}

Ref SheetWriter::read(Py_ssize_t row, int column) { return getattr(cell_at(row, column), c_.n().value); }

namespace {

// Whether the library takes `content` for a formula when it is assigned to a
// cell: a text (or bytes, which it decodes) of two or more characters that
// starts with "=".
bool formula_like(PyObject* content) {
    if (PyUnicode_Check(content)) {
        if (!compat::unicode_ready(content)) raise();
        return PyUnicode_GET_LENGTH(content) > 1 && PyUnicode_READ_CHAR(content, 0) == '=';
    }
    if (PyBytes_Check(content)) return PyBytes_GET_SIZE(content) > 1 && PyBytes_AS_STRING(content)[0] == '=';
    return false;
}

}  // namespace

void SheetWriter::write(Py_ssize_t row, int column, PyObject* content) {
    const Names& n = c_.n();
    Ref cell = cell_at(row, column);
    setattr(cell, n.value, content);
    if (formula_like(content) && eq(getattr(cell, n.data_type), n.formula_code))
        setattr(cell, n.data_type, n.string_code);
}

}  // namespace tp::xl
