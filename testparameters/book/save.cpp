// BookParameters.save and save_as: every loaded table written into a workbook,
// which then replaces the file in one step, so that a failed write never
// leaves a damaged or half-written file behind.
#include "module/keep.hpp"
#include "module/members.hpp"
#include "module/xl.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <random>

namespace tp {
namespace {

// Runs `f` for its effect alone: an error it raises is dropped.
template <class F>
void ignoring_errors(F&& f) noexcept {
    try {
        f();
    } catch (...) {
        PyErr_Clear();
    }
}

// The functions of the os module that storing a workbook uses.
struct Os {
    explicit Os(const Call& c) : n(c.n()) {
        module = check(PyImport_ImportModule("os"));
        path = getattr(module, n.path);
    }
    Ref fn(PyObject* name) const { return getattr(module, name); }

    const Names& n;
    Ref module;
    Ref path;
};

// `name` as a file-system path in text form, or an empty Ref when it is no
// path at all (a file object, say).
Ref text_path(PyObject* name) {
    PyObject* p = PyOS_FSPath(name);
    if (!p) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise();
        PyErr_Clear();
        return Ref();
    }
    Ref path = Ref::steal(p);
    if (PyBytes_Check(path))
        return check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get())));
    return path;
}

// os.stat(path).st_mode, or -1 when nothing is there.
long mode_of(const Os& os, PyObject* path) {
    PyObject* st = PyObject_CallFunctionObjArgs(os.fn(os.n.stat), path, nullptr);
    if (!st) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) raise();
        PyErr_Clear();
        return -1;
    }
    Ref result = Ref::steal(st);
    long mode = PyLong_AsLong(getattr(result, os.n.st_mode));
    if (mode == -1 && PyErr_Occurred()) raise();
    return mode;
}

// Opens an existing file for writing and closes it again, changing nothing:
// a file the caller may not write is refused with the error the library
// would have met when writing it.
void check_writable(const Os& os, PyObject* path) {
    Ref flags = integer(O_WRONLY);
    Ref fd = call(os.fn(os.n.open), path, flags);
    call(os.fn(os.n.close), fd);
}

// A new, empty file beside `target`, created with os.open so that the
// process's umask decides its permission bits, as for any file the library
// creates. Gives the file's name and its open descriptor.
void create_temp(const Os& os, PyObject* target, Ref& temp, Ref& fd) {
    Ref parts = call(getattr(os.path, os.n.split), target);
    PyObject* folder = PyTuple_GET_ITEM(parts.get(), 0);
    PyObject* base = PyTuple_GET_ITEM(parts.get(), 1);
    // A shortened base keeps the name within the file system's limit.
    Ref stem = check(PyUnicode_Substring(base, 0, 48));
    Ref flags = integer(O_CREAT | O_EXCL | O_WRONLY);
    Ref permissions = integer(0666);
    Ref open = os.fn(os.n.open);
    Ref join = getattr(os.path, os.n.join);
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
        char tag[24];
        std::snprintf(tag, sizeof tag, ".%08x%04x.tmp", (unsigned)random(), (unsigned)random() & 0xffffu);
        Ref name = check(PyUnicode_FromFormat(".%U%s", stem.get(), tag));
        temp = call(join, folder, name);
        PyObject* opened = PyObject_CallFunctionObjArgs(open, temp.get(), flags.get(), permissions.get(), nullptr);
        if (opened) {
            fd = Ref::steal(opened);
            return;
        }
        if (attempt == 99 || !PyErr_ExceptionMatches(PyExc_FileExistsError)) raise();
        PyErr_Clear();
    }
}

// book.save(filename) with the library's own warnings held back.
void library_save(const Call& c, PyObject* book, PyObject* filename) {
    xl::LibraryWarnings quiet(c);
    xl::save(c, book, filename);
    quiet.finish();
}

// book.save(filename), made safe for a library workbook stored under a path:
// the library writes a temporary file in the target's folder, which replaces
// the target only once it is complete and on disk. On failure the target is
// as it was, the temporary file is gone and the library's error goes on to
// the caller. An existing target keeps its permission bits; a symbolic link
// is written through and stays a link. Anything else (another workbook
// object, a file object, a device or a pipe) is stored by book.save(filename).
// Before the replace, the pass over the written file puts back what the
// library lost from `source` (the file the workbook was read from, when it is
// the target) and warns of what it could not keep.
void store(const Call& c, PyObject* book, PyObject* filename, bool from_target) {
    if (!xl::is_library_workbook(c, book)) return xl::save(c, book, filename);
    Ref path = text_path(filename);
    if (!path) return xl::save(c, book, filename);

    const Os os(c);
    Ref target = call(getattr(os.path, os.n.realpath), path);
    const long mode = mode_of(os, target);
    if (mode != -1) {
        if (!S_ISREG(mode)) return xl::save(c, book, filename);
        check_writable(os, target);
    }

    Ref temp, fd;
    create_temp(os, target, temp, fd);
    try {
        library_save(c, book, temp);
        // openpyxl wrote the temporary file.
        xl::keep_what_the_save_did_not_change(c, book, from_target && mode != -1 ? target.get() : nullptr, temp,
                                              filename);
        // The temporary file replaces the target.
        call(os.fn(os.n.fsync), fd);
        call(os.fn(os.n.close), fd);
        fd.reset();
        if (mode != -1) {
            Ref permissions = integer(mode & 07777);
            call(os.fn(os.n.chmod), temp, permissions);
        }
        call(os.fn(os.n.replace), temp, target);
    } catch (...) {
        PendingError pending;
        if (fd) ignoring_errors([&] { call(os.fn(os.n.close), fd); });
        ignoring_errors([&] { call(os.fn(os.n.unlink), temp); });
        throw;
    }
}

// Each loaded table, first to last, writes its worksheet into `book`.
void write_tables(const Call& c, PyObject* sheets, PyObject* book) {
    Ref it = check(PyObject_GetIter(sheets));
    while (Ref table = Ref::steal(PyIter_Next(it))) call_method(table, c.n().save, book);
    if (PyErr_Occurred()) raise();
}

}  // namespace

// save(self)
Ref book_save(const Call& c) {
    const Names& n = c.n();
    PyObject* self = c.self();
    Ref book;
    {
        xl::LibraryWarnings quiet(c);
        book = xl::open_editable(c, getattr(self, n.bookname));
        quiet.finish();
    }
    write_tables(c, getattr(self, n.book_sheets), book);
    store(c, book, getattr(self, n.bookname), true);
    return none();
}

// save_as(self, book_name)
Ref book_save_as(const Call& c) {
    const Names& n = c.n();
    PyObject* self = c.self();
    Ref book = xl::new_workbook(c);
    Ref sheets = getattr(self, n.book_sheets);
    const Py_ssize_t count = PyObject_Length(sheets);
    if (count < 0) raise();
    if (count > 0) xl::remove_active_sheet(c, book);
    write_tables(c, sheets, book);
    store(c, book, c[1], false);
    return none();
}

}  // namespace tp
