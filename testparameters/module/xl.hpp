// The one layer through which the module reaches the spreadsheet library.
// Every workbook, worksheet and cell operation of the module is one of these.
#pragma once

#include "module/function.hpp"

#include <vector>

namespace tp::xl {

// --- the library's classes (xl.cpp) ----------------------------------------
// The classes that objects are told apart by: an object is taken for one of
// them only when its class is exactly that one (not a subclass, not a
// stand-in), since only then is what it does on each call the library's code.
enum class Lib { Workbook, Worksheet, ReadOnlyWorksheet, Chartsheet, CellRichText, ZipFile };
// The class, as its module binds it the first time it is asked for (the
// module is imported then) and kept in the module state from then on; null
// when its module cannot be imported (the rich text class before openpyxl 3.1).
PyObject* library_class(const Call& c, Lib which);
// Whether the class of `obj` is exactly the class `which`.
inline bool is_exactly(const Call& c, PyObject* obj, Lib which) {
    PyObject* cls = library_class(c, which);
    return cls && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == cls;
}

// --- file names (xl_write.cpp) ---------------------------------------------
// `name` as a file-system path in text form, or an empty Ref when it is no
// path at all (a file object, say).
Ref path_text(PyObject* name);

// --- workbooks (xl.cpp) ---------------------------------------------------
// Whether `book` is exactly the library's own Workbook class.
inline bool is_library_workbook(const Call& c, PyObject* book) { return is_exactly(c, book, Lib::Workbook); }
// load_workbook(bookname, read_only=True, data_only=True), looked up in the
// module namespace at call time.
Ref open_read_only(const Call& c, PyObject* bookname);
// Closes a genuine read-only workbook of the library opened from `bookname`,
// so that its file is not left open until garbage collection; leaves any
// other object alone.
void close_read_only(const Call& c, PyObject* book, PyObject* bookname);
// The same after a load that worked: a failure to close does not undo the
// load. An Exception is reported through sys.unraisablehook, as the
// interpreter reports one raised while an object is finalized; any other
// (KeyboardInterrupt, SystemExit) goes on to the caller.
void close_read_only_after_load(const Call& c, PyObject* book, PyObject* bookname);
// The same while an exception is on its way: that exception is kept.
void close_read_only_keeping_error(const Call& c, PyObject* book, PyObject* bookname) noexcept;
// book.sheetnames, and whether `title` is one of them (the host's `in`).
bool has_sheet(const Call& c, PyObject* book, PyObject* title);
// book[title]
Ref sheet(const Call& c, PyObject* book, PyObject* title);

// --- reading a worksheet (xl_read.cpp) --------------------------------------
// Whether `sheet` is one of the library's chart sheets, which hold a chart
// and no cells.
inline bool is_chart_sheet(const Call& c, PyObject* sheet) { return is_exactly(c, sheet, Lib::Chartsheet); }

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
//  * The one pass takes its rows from the iterator a batch at a time (1, 2,
//    4, ... up to 64 rows), so that the library's reading and the load's
//    work on the rows each run on for a while instead of taking turns at
//    every row. A table that ends early costs at most its batch of rows
//    read beyond its end. An error of the iterator while it reads ahead is
//    kept and raised when the load asks for that row, so a load that ends
//    before it sees nothing of it, as with a row by row pass; an exception
//    that is no Exception (KeyboardInterrupt) goes on at once.
//  * The iterator of the one pass is closed when the Rows object goes, also
//    when the load stops early or fails, so that the worksheet's part of the
//    archive is not left open until garbage collection.
class Rows {
public:
    Rows(const Call& c, PyObject* sheet);
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    ~Rows();

    // Moves to the next row; false once the rows are exhausted.
    bool next();
    // The content of the cell of the current row in `column` (1 to 7).
    Ref value(int column);
    // The number of the current row in the worksheet (2 for the first).
    Py_ssize_t row() const { return row_; }
    // Whether the worksheet is the library's own (read-only or editable), so
    // that reading it runs the library's code and nothing of the caller's.
    bool from_library() const { return library_; }

private:
    const Call& c_;
    PyObject* sheet_;
    // One pass: the next batch from the iterator.
    void read_ahead();

    Ref rows_;     // one pass: the iterator over the rows
    Ref current_;  // one pass: the current row
    static constexpr size_t kMaxBatch = 64;
    std::vector<Ref> batch_;  // one pass: rows read ahead, taken from `taken_` on
    size_t taken_ = 0;
    size_t batch_size_ = 1;
    Ref error_;           // one pass: what the iterator raised after the batch
    bool exhausted_ = false;
    Py_ssize_t row_ = 1;
    Py_ssize_t end_ = 2;  // cell by cell: one past the last row
    Ref row_number_;
    bool library_ = false;
};

// --- writing (xl_write.cpp) -------------------------------------------------
// load_workbook(bookname), editable with formulas read as formulas, looked up
// in the module namespace at call time. When that is the library's own
// function, it also gets keep_vba=True for a macro workbook (its name ends in
// .xlsm or .xltm, or its content types say macro-enabled), so that the VBA
// project and the macro-enabled content type are kept, and rich_text=True
// where the library takes it (openpyxl 3.1), so that rich text is kept. Any
// other callable bound there is called with the name alone: its keywords are
// unknown. A workbook whose text the library's rich-text reader would lose is
// opened without rich text. `rich_text` tells whether rich text was asked for.
Ref open_editable(const Call& c, PyObject* bookname, bool& rich_text);
// Done with a workbook from open_editable: the copy of the package that
// keep_vba attached to a library workbook is closed now, while the workbook
// is still whole (closed by the collector later, after the buffer it writes
// into, it would report an error nobody can act on). An error on the way is
// kept.
void close_editable(const Call& c, PyObject* book) noexcept;
// Workbook(), looked up in the module namespace at call time.
Ref new_workbook(const Call& c);
// Removes the active worksheet (the default one of a new workbook):
// book.remove(book.active) on a library workbook, whose remove_sheet is
// deprecated; book.remove_sheet(book.active) on any other object.
void remove_active_sheet(const Call& c, PyObject* book);
// book.save(filename): the library writes the whole workbook to that file.
void save(const Call& c, PyObject* book, PyObject* filename);
// book.create_sheet(title), the title as the one positional argument: a new
// worksheet after the existing ones.
Ref create_sheet(const Call& c, PyObject* book, PyObject* title);

// A merged range of a worksheet, 1-based and inclusive, with its name (B3:C3).
struct MergedRange {
    Py_ssize_t min_row, max_row, min_col, max_col;
    Ref coord;
};

// A worksheet being written, cell by cell through sheet.cell(row=..., column=...).
// The library's own worksheet is also read without creating cells (asking it
// through cell() would create every cell asked for: a note far below the
// table would fill the sheet with empty rows); any other worksheet object is
// read through cell() alone.
class SheetWriter {
public:
    SheetWriter(const Call& c, Ref sheet);
    // Whether the worksheet is the library's own, whose cells are known.
    bool knows_cells() const { return bool(cells_); }
    // sheet.max_row: the last row holding data; 0 for a worksheet object
    // without one (or with None there), whose rows are then taken as empty.
    Py_ssize_t max_row() const;
    // The content of the cell: sheet.cell(row=row, column=column).value, or
    // for the library's worksheet the same without creating the cell (None
    // when there is none).
    Ref read(Py_ssize_t row, int column);
    // Whether the cell is known to be empty: only the library's worksheet
    // knows; for any other object false.
    bool known_empty(Py_ssize_t row, int column);
    // Whether the cell still holds `content` as a load read it (an equal
    // value of the same kind). A formula holds whatever its last result was,
    // and a rich text holds its plain text.
    bool holds(Py_ssize_t row, int column, PyObject* content);
    // The rows from `first` to `last` that may hold a cell in `column`, in
    // order: only the rows the library's worksheet holds a cell of; for any
    // other worksheet object, every row.
    std::vector<Py_ssize_t> rows_with_cell(int column, Py_ssize_t first, Py_ssize_t last);
    // The merged ranges of the library's worksheet that reach into columns
    // `first_col` to `last_col`; none for any other object.
    std::vector<MergedRange> merged_ranges(int first_col, int last_col);
    // Empties the cell, without creating it when the library's worksheet holds none.
    void clear(Py_ssize_t row, int column);
    // sheet.cell(row=row, column=column).value = content. A text that the
    // library would take for a formula (it starts with "=") stays text, so
    // that it reads back as it was written.
    void write(Py_ssize_t row, int column, PyObject* content);

private:
    Ref cell_at(Py_ssize_t row, int column);
    // The library's cell object at (row, column), or an empty Ref.
    Ref known_cell(Py_ssize_t row, int column);

    const Call& c_;
    Ref sheet_;
    Ref cell_;      // the worksheet's bound cell method
    Py_ssize_t row_ = 0;
    Ref row_obj_;   // `row_` as an int object
    Ref cells_;     // the cells the library's worksheet holds, by (row, column)
    Ref rich_text_class_;  // the library's rich text class, when it has one
};

}  // namespace tp::xl
