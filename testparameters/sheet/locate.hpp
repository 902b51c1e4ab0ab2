// Where a failed load failed: the note added to an error raised while a cell
// of a parameter row is converted or registered.
#pragma once

#include "module/state.hpp"

namespace tp::sheet {

// Adds to the exception in flight, when it is an Exception (an interrupt or
// SystemExit passes as it is), the note
//     while loading Supply!B3 (parameter "VDD")
// naming the sheet as an office program writes it in a reference (in single
// quotes, a quote inside doubled, unless it is a plain name that cannot be
// read as a cell), the cell by column letter and row number, and the
// parameter by the str() of the row's Name cell, in double quotes with JSON
// escapes (\" \\ \n \t \r \uXXXX). Its type, message and traceback stay as
// they were; a failure to add the note is dropped.
void add_location_note(const Names& n, PyObject* sheetname, Py_ssize_t row, int column, PyObject* name) noexcept;

// Runs `body`; an error it raises gains the note of the cell.
template <class Body>
auto located(const Names& n, PyObject* sheetname, Py_ssize_t row, int column, PyObject* name, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const PyError&) {
        add_location_note(n, sheetname, row, column, name);
        throw;
    }
}

}  // namespace tp::sheet
