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
