// Reading the rows of a worksheet.
#include "module/xl.hpp"

namespace tp::xl {

Rows::Rows(const Call& c, PyObject* sheet) : c_(c), sheet_(sheet) {
    const Names& n = c.n();
    if (is_exactly(c, sheet, Lib::ReadOnlyWorksheet)) {
        library_ = true;
        call_method(sheet, n.reset_dimensions);
        Ref iter_rows = getattr(sheet, n.iter_rows);
        Ref min_row = integer(2), max_col = integer(7);
        Ref rows = call_kw(iter_rows, {min_row, max_col, Py_True}, c.st.kw_iter_rows);
        rows_ = check(PyObject_GetIter(rows));
        return;
    }
    library_ = is_exactly(c, sheet, Lib::Worksheet);
    Ref two = integer(2);
    if (truth(check(PyObject_RichCompare(getattr(sheet, n.max_row), two, Py_LT)))) {
        end_ = 2;
        return;
    }
    // range(2, sheet.max_row + 1)
    Ref one = integer(1);
    Ref end = check(PyNumber_Add(getattr(sheet, n.max_row), one));
    Ref index = check(PyNumber_Index(end));
    end_ = PyNumber_AsSsize_t(index, nullptr);
    if (end_ == -1 && PyErr_Occurred()) raise();
}

Rows::~Rows() {
    if (!rows_ || !PyGen_Check(rows_.get())) return;
    PendingError pending;
    PyObject* result = PyObject_CallMethodObjArgs(rows_, c_.n().close, nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(rows_);
}

void Rows::read_ahead() {
    batch_.clear();
    taken_ = 0;
    while (batch_.size() < batch_size_) {
        PyObject* row = PyIter_Next(rows_);
        if (!row) {
            if (!PyErr_Occurred()) {
                exhausted_ = true;
            } else {
                if (batch_.empty() || !PyErr_ExceptionMatches(PyExc_Exception)) raise();
                error_ = Ref::steal(compat::error_take());
            }
            break;
        }
        batch_.push_back(Ref::steal(row));
    }
    if (batch_size_ < kMaxBatch) batch_size_ *= 2;
}

bool Rows::next() {
    if (rows_) {
        if (taken_ == batch_.size()) {
            if (error_) {
                compat::error_raise(error_.release());
                raise();
            }
            if (exhausted_) {
                current_.reset();
                return false;
            }
            read_ahead();
            if (batch_.empty()) {
                current_.reset();
                return false;
            }
        }
        current_ = std::move(batch_[taken_++]);
        ++row_;
        return true;
    }
    if (row_ + 1 >= end_) return false;
    ++row_;
    row_number_ = check(PyLong_FromSsize_t(row_));
    return true;
}

Ref Rows::value(int column) {
    if (rows_) {
        // The library gives a tuple of the seven values of the row.
        if (PyTuple_CheckExact(current_.get())) {
            if (column <= PyTuple_GET_SIZE(current_.get())) return Ref::borrow(PyTuple_GET_ITEM(current_.get(), column - 1));
            return none();
        }
        Py_ssize_t size = PySequence_Size(current_);
        if (size < 0) raise();
        if (column > size) return none();
        return check(PySequence_GetItem(current_, column - 1));
    }
    const Names& n = c_.n();
    Ref cell = getattr(sheet_, n.cell);
    Ref column_number = integer(column);
    Ref found = call_kw(cell, {row_number_, column_number}, c_.st.kw_cell);
    return getattr(found, n.value);
}

}  // namespace tp::xl
