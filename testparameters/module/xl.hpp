// The one layer through which the module reaches the spreadsheet library.
// Every workbook, worksheet and cell operation of the module is one of these.
#pragma once

#include "module/function.hpp"

namespace tp::xl {

// --- workbooks (xl.cpp) ---------------------------------------------------
// load_workbook(bookname, read_only=True, data_only=True), looked up in the
// module namespace at call time.
Ref open_read_only(const Call& c, PyObject* bookname);
// Closes a genuine read-only workbook of the library; leaves any other object alone.
void close_read_only(const Call& c, PyObject* book);
// book.sheetnames, and whether `title` is one of them (the host's `in`).
bool has_sheet(const Call& c, PyObject* book, PyObject* title);
// book[title]
Ref sheet(const Call& c, PyObject* book, PyObject* title);

// --- reading a worksheet (xl_read.cpp) --------------------------------------
// The rows of a parameter worksheet from row 2 on, one row at a time, and the
// contents of their cells (None for an empty cell).
//  * A genuine read-only worksheet of the library (of exactly its class
//    ReadOnlyWorksheet) is read in one pass: its recorded size is dropped with
//    reset_dimensions(), since some writers record none or a wrong one, and its
//    rows come from one iter_rows(min_row=2, max_col=7, values_only=True), up
//    to the last row that the sheet's data holds. (Asking such a sheet for
//    single cells re-reads its file from the start each time.)
//  * Any other worksheet object is read cell by cell: max_row is read once to
//    see whether any row lies below the header (none when it is less than 2)
//    and once more for the last row, and each cell is
//    sheet.cell(row=..., column=...).value, fetched when value() asks for it.
class Rows {
public:
    Rows(const Call& c, PyObject* sheet);
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;

    // Moves to the next row; false once the rows are exhausted.
    bool next();
    // The content of the cell of the current row in `column` (1 to 7).
    Ref value(int column);

private:
    const Call& c_;
    PyObject* sheet_;
    Ref rows_;     // one pass: the iterator over the rows
    Ref current_;  // one pass: the current row
    Py_ssize_t row_ = 1;
    Py_ssize_t end_ = 2;  // cell by cell: one past the last row
    Ref row_number_;
};

// --- writing (xl_write.cpp) -------------------------------------------------

}  // namespace tp::xl
