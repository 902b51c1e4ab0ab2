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

PyObject* library_class(const Call& c, Lib which) {
    const Names& n = c.n();
    const std::pair<PyObject*, PyObject*> where[] = {
        {n.mod_workbook, n.Workbook},          {n.mod_worksheet, n.Worksheet},
        {n.mod_read_only, n.ReadOnlyWorksheet}, {n.mod_chartsheet, n.Chartsheet},
        {n.mod_rich_text, n.CellRichText},     {n.mod_zipfile, n.ZipFile},
    };
    static_assert(sizeof where / sizeof where[0] == State::kLibraryClasses, "one cache slot per class");
    Ref& slot = c.st.library_classes[static_cast<int>(which)];
    if (!slot) {
        const auto& [module_name, class_name] = where[static_cast<int>(which)];
        Ref module = Ref::steal(PyImport_Import(module_name));
        Ref cls;
        if (module) {
            cls = getattr_opt(module, class_name);
        } else {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) raise();
            PyErr_Clear();
        }
        // Another thread may have filled the slot meanwhile (the import can
        // release the interpreter lock): the first class found stays.
        if (!slot) slot = cls && PyType_Check(cls.get()) ? std::move(cls) : none();
    }
    return slot.get() == Py_None ? nullptr : slot.get();
}

namespace {

// The file that the archive of a read-only workbook of the library opened
// itself (not a file object the caller gave as the book's name), or empty.
Ref archive_file(const Call& c, PyObject* book, PyObject* bookname) {
    Ref archive = getattr_opt(book, c.n().archive);
    if (!archive) return Ref();
    if (!is_exactly(c, archive, Lib::ZipFile)) return Ref();
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
