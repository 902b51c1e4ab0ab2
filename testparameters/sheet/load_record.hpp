// What a load of a table read, kept for the table's next save: the
// max_empty_row it was called with and, per registered row, the row number
// and the objects the load made from its cells. The save leaves a cell as it
// is when the caller has not changed what was loaded from it.
//
// The record lives in the module state, keyed by the table's identity and
// held only while the table lives (a weak reference drops it), so that the
// table's attributes stay its parameters alone. Each load replaces it; a load
// that fails drops it.
#pragma once

#include "module/function.hpp"

namespace tp::sheet {

// Columns of an entry (a tuple): the row, then the seven cells as loading
// made them (desc, value, low, up, unit, name, type, in sheet order), then
// the raw contents of the Value, Low and Up cells.
enum Entry : Py_ssize_t {
    kRow = 0,
    kFirstCell = 1,  // column 1 (A) is item 1, column 7 (G) is item 7
    kRawValue = 8,   // raw content of columns 2 to 4 (B to D): items 8 to 10
    kEntrySize = 11,
};

// Collects the record during one load, and installs it when the load is
// done. Destroyed without install() (the load failed), it drops the table's
// record.
class LoadRecorder {
public:
    LoadRecorder(const Call& c, PyObject* title, PyObject* max_empty_row);
    ~LoadRecorder();
    LoadRecorder(const LoadRecorder&) = delete;
    LoadRecorder& operator=(const LoadRecorder&) = delete;

    // The row `row` was registered under `name`. `cells` are the seven
    // objects of the new record in sheet order, `raw` the raw contents of
    // the Value, Low and Up cells.
    void add(Py_ssize_t row, PyObject* name, PyObject* const (&cells)[7], PyObject* const (&raw)[3]);
    // The load completed: the record replaces the table's previous one.
    void install();

private:
    const Call& c_;
    Ref title_;
    Ref max_empty_row_;
    Ref entries_;  // name -> entry
    bool installed_ = false;
};

struct LoadRecord {
    Ref title;          // the sheet title loaded
    Ref max_empty_row;  // as passed to load
    Ref entries;        // name -> entry (a dict)
};

// The table's record; false when it has none (never loaded, or its last
// load failed).
bool find_load_record(const Call& c, PyObject* table, LoadRecord& out);

// Whether `current`, a record's attribute now, is still the object that the
// entry item `kept` stands for.
bool unchanged(PyObject* kept, PyObject* current);

}  // namespace tp::sheet
