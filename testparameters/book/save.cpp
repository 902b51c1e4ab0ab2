// BookParameters.save and save_as: every loaded table written into a workbook,
// which then replaces the file in one step, so that a failed write never
// leaves a damaged or half-written file behind.
#include "module/keep.hpp"
#include "module/members.hpp"
#include "module/xl.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
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
        module = check(PyImport_Import(n.mod_os));
        path = getattr(module, n.path);
    }
    Ref fn(PyObject* name) const { return getattr(module, name); }

    const Names& n;
    Ref module;
    Ref path;
};

// What os.stat(path) says of an existing file: its mode, owner and group.
struct Existing {
    long mode = -1;  // -1: nothing is there
    Ref uid, gid;
};

Existing stat_of(const Os& os, PyObject* path) {
    Existing out;
    PyObject* st = PyObject_CallFunctionObjArgs(os.fn(os.n.stat), path, nullptr);
    if (!st) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) raise();
        PyErr_Clear();
        return out;
    }
    Ref result = Ref::steal(st);
    out.mode = PyLong_AsLong(getattr(result, os.n.st_mode));
    if (out.mode == -1 && PyErr_Occurred()) raise();
    out.uid = getattr(result, os.n.st_uid);
    out.gid = getattr(result, os.n.st_gid);
    return out;
}

// The new file `fd` takes the owner, group and permission bits of the file it
// will replace. The owner and group are set where the process may (EPERM,
// for a user who may not give a file away, is no error); the permission bits
// after that, since a change of owner clears the set-user/group-ID bits.
void take_over(const Os& os, PyObject* fd, const Existing& target) {
    PyObject* done = PyObject_CallFunctionObjArgs(os.fn(os.n.fchown), fd, target.uid.get(), target.gid.get(), nullptr);
    if (!done) {
        if (!PyErr_ExceptionMatches(PyExc_PermissionError)) raise();
        Ref error = Ref::steal(compat::error_take());
        Ref number = getattr_opt(error, os.n.errno_attr);
        const bool eperm = number && PyLong_Check(number.get()) && PyLong_AsLong(number) == EPERM;
        if (!eperm) {
            compat::error_raise(error.release());
            raise();
        }
    }
    Py_XDECREF(done);
    Ref permissions = integer(target.mode & 07777);
    call(os.fn(os.n.fchmod), fd, permissions);
}

// Opens an existing file for writing and closes it again, changing nothing:
// a file the caller may not write is refused with the error the library
// would have met when writing it.
void check_writable(const Os& os, PyObject* path) {
    Ref flags = integer(O_WRONLY);
    Ref fd = call(os.fn(os.n.open), path, flags);
    call(os.fn(os.n.close), fd);
}

// A new, empty file beside `target`, created with os.open with `permissions`
// (which the process's umask may still narrow). Gives the file's name and its
// open descriptor.
void create_temp(const Os& os, PyObject* target, long permissions_bits, Ref& temp, Ref& fd) {
    Ref parts = call(getattr(os.path, os.n.split), target);
    PyObject* folder = PyTuple_GET_ITEM(parts.get(), 0);
    PyObject* base = PyTuple_GET_ITEM(parts.get(), 1);
    // A shortened base keeps the name within the file system's limit.
    Ref stem = check(PyUnicode_Substring(base, 0, 48));
    Ref flags = integer(O_CREAT | O_EXCL | O_WRONLY);
    Ref permissions = integer(permissions_bits);
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
// the caller. The temporary file of an existing target has the target's
// permission bits from its creation on, and its owner and group where the
// process may set them; a new file's bits follow the umask, as for any file
// the library creates. A symbolic link is written through and stays a link.
// Anything else (another workbook object, a file object, a device or a pipe)
// is stored by book.save(filename).
// Before the replace, the pass over the written file puts back what the
// library lost from the target (when the workbook was read from it) and warns
// of what it could not keep.
void store(const Call& c, PyObject* book, PyObject* filename, bool from_target, bool rich_text) {
    if (!xl::is_library_workbook(c, book)) return xl::save(c, book, filename);
    Ref path = xl::path_text(filename);
    if (!path) return xl::save(c, book, filename);

    const Os os(c);
    Ref target = call(getattr(os.path, os.n.realpath), path);
    const Existing existing = stat_of(os, target);
    const bool replacing = existing.mode != -1;
    if (replacing) {
        if (!S_ISREG(existing.mode)) return xl::save(c, book, filename);
        check_writable(os, target);
    }

    Ref temp, fd;
    create_temp(os, target, replacing ? existing.mode & 07777 : 0666, temp, fd);
    try {
        if (replacing) take_over(os, fd, existing);
        library_save(c, book, temp);
        // openpyxl wrote the temporary file.
        xl::keep_what_the_save_did_not_change(c, book, from_target && replacing ? target.get() : nullptr, temp,
                                              filename, rich_text);
        // The temporary file replaces the target.
        call(os.fn(os.n.fsync), fd);
        call(os.fn(os.n.close), fd);
        fd.reset();
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

TP_ARGUMENTS(SaveArgs, self);
TP_ARGUMENTS(SaveAsArgs, self, book_name);

// save(self)
Ref book_save(const Call& c, const SaveArgs& a) {
    const Names& n = c.n();
    PyObject* self = a.self;
    Ref book;
    bool rich_text = false;
    {
        xl::LibraryWarnings quiet(c);
        book = xl::open_editable(c, getattr(self, n.bookname), rich_text);
        quiet.finish();
    }
    try {
        write_tables(c, getattr(self, n.book_sheets), book);
        store(c, book, getattr(self, n.bookname), true, rich_text);
    } catch (...) {
        xl::close_editable(c, book);
        throw;
    }
    xl::close_editable(c, book);
    return none();
}

// save_as(self, book_name)
Ref book_save_as(const Call& c, const SaveAsArgs& a) {
    const Names& n = c.n();
    PyObject* self = a.self;
    Ref book = xl::new_workbook(c);
    Ref sheets = getattr(self, n.book_sheets);
    const Py_ssize_t count = PyObject_Length(sheets);
    if (count < 0) raise();
    if (count > 0) xl::remove_active_sheet(c, book);
    write_tables(c, sheets, book);
    store(c, book, a.book_name, false, true);
    return none();
}

}  // namespace

const Member kBookSave = method<SaveArgs, book_save>("save", "(self)");
const Member kBookSaveAs = method<SaveAsArgs, book_save_as>("save_as", "(self, book_name)");

}  // namespace tp
