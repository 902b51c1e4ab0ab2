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

namespace {

// The file that the archive of a read-only workbook of the library opened
// itself (not a file object the caller gave as the book's name), or empty.
Ref archive_file(const Call& c, PyObject* book, PyObject* bookname) {
    Ref archive = getattr_opt(book, c.n().archive);
    if (!archive) return Ref();
    Ref zipfile = check(PyImport_ImportModule("zipfile"));
    Ref zip_class = getattr_opt(zipfile, Ref(text("ZipFile")));
    if (!zip_class || reinterpret_cast<PyObject*>(Py_TYPE(archive.get())) != zip_class.get()) return Ref();
    Ref file = getattr_opt(archive, c.n().fp);
    if (!file || file.get() == Py_None || file.get() == bookname) return Ref();
    return file;
}

}  // namespace

void close_read_only(const Call& c, PyObject* book, PyObject* bookname) {
    if (!is_library_workbook(c, book) || !truth(getattr(book, c.n().read_only))) return;
    Ref file = archive_file(c, book, bookname);
    call_method(book, c.n().close);
    // openpyxl 3.0 reads a worksheet through an XML parser that keeps its
    // source, the worksheet's member of the archive, in a reference cycle;
    // when the rows are not read to their end, that member stays open until
    // the garbage collector frees it, and the archive's file with it (the
    // archive closes its file when its last member closes). The file the
    // archive opened is closed here; the member, once collected, finds it
    // closed.
    if (file && !truth(getattr(file, c.n().closed))) call_method(file, c.n().close);
}

void close_read_only_after_load(const Call& c, PyObject* book, PyObject* bookname) {
    try {
        close_read_only(c, book, bookname);
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_WriteUnraisable(book);
    }
}

void close_read_only_keeping_error(const Call& c, PyObject* book, PyObject* bookname) noexcept {
    PendingError pending;
    try {
        close_read_only(c, book, bookname);
    } catch (...) {
        // The error that ended the load is the one the caller hears of.
    }
}

}  // namespace tp::xl
