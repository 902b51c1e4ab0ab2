#include "module/xl.hpp"

namespace tp::xl {

Ref open_read_only(const Call& c, PyObject* bookname) {
    Ref load_workbook = c.global(c.n().load_workbook);
    return call_kw(load_workbook, {bookname, Py_True, Py_True}, c.st.kw_load);
}

bool has_sheet(const Call& c, PyObject* book, PyObject* title) {
    Ref titles = getattr(book, c.n().sheetnames);
    return check_status(PySequence_Contains(titles, title)) != 0;
}

Ref sheet(const Call&, PyObject* book, PyObject* title) { return check(PyObject_GetItem(book, title)); }

}  // namespace tp::xl

namespace tp::xl {

bool is_library_workbook(const Call& c, PyObject* book) {
    Ref module = check(PyImport_ImportModule("openpyxl.workbook.workbook"));
    Ref workbook_class = getattr(module, c.n().Workbook);
    return reinterpret_cast<PyObject*>(Py_TYPE(book)) == workbook_class.get();
}

void close_read_only(const Call& c, PyObject* book) {
    if (is_library_workbook(c, book) && truth(getattr(book, c.n().read_only))) call_method(book, c.n().close);
}

void close_read_only_keeping_error(const Call& c, PyObject* book) noexcept {
    PendingError pending;
    try {
        close_read_only(c, book);
    } catch (...) {
        // The error that ended the load is the one the caller hears of.
    }
}

}  // namespace tp::xl
