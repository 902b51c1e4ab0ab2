// The one layer through which the module reaches the spreadsheet library.
// Every workbook, worksheet and cell operation of the module is one of these.
#pragma once

#include "module/function.hpp"

namespace tp::xl {

// --- workbooks (xl.cpp) ---------------------------------------------------
// load_workbook(bookname, read_only=True, data_only=True), looked up in the
// module namespace at call time.
Ref open_read_only(const Call& c, PyObject* bookname);
// Closes a genuine read-only workbook of the library, so that its file is not
// left open until garbage collection; leaves any other object alone.
void close_read_only(const Call& c, PyObject* book);
// The same while an exception is on its way: that exception is kept.
void close_read_only_keeping_error(const Call& c, PyObject* book) noexcept;
// book.sheetnames, and whether `title` is one of them (the host's `in`).
bool has_sheet(const Call& c, PyObject* book, PyObject* title);
// book[title]
Ref sheet(const Call& c, PyObject* book, PyObject* title);

// --- reading a worksheet (xl_read.cpp) --------------------------------------
// --- writing (xl_write.cpp) -------------------------------------------------

}  // namespace tp::xl
