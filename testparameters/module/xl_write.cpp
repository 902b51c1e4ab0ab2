// The writing side of the spreadsheet library: opening a workbook for
// editing, creating one, its worksheets and cells, and storing it.
#include "module/xl.hpp"

#include "module/package.hpp"

#include <algorithm>

namespace tp::xl {

namespace {

// Runs `body`; an error that the file's content may cause is dropped and
// `fallback` returned instead. Anything else (KeyboardInterrupt, no memory, a
// module that cannot be imported) goes on.
template <class F>
bool or_else(bool fallback, F&& body) {
    try {
        return body();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
            PyErr_ExceptionMatches(PyExc_ImportError))
            throw;
        PyErr_Clear();
        return fallback;
    }
}


const char kContentTypes[] = "[Content_Types].xml";
const char kOverrideTag[] = "{http://schemas.openxmlformats.org/package/2006/content-types}Override";
const char* const kMacroTypes[] = {
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.ms-excel.template.macroEnabled.main+xml",
};
// A content-types part larger than this is no workbook's; it is not read.
constexpr long kMaxContentTypes = 16L << 20;

// Whether the package's [Content_Types].xml gives its workbook part a
// macro-enabled content type. Read with defusedxml (no DTD, no entities);
// whatever cannot be read counts as no, and the library's open then reports
// what is wrong with the file.
bool declares_macros(const Names& n, PyObject* path) {
    Ref zipfile = check(PyImport_Import(n.mod_zipfile));
    Ref archive;
    const bool ok = or_else(false, [&] {
        archive = call(getattr(zipfile, n.ZipFile), path);
        return true;
    });
    if (!ok) return false;
    const bool macros = or_else(false, [&] {
        Ref name = text(kContentTypes);
        Ref info = call_method(archive, n.getinfo, name);
        long size = PyLong_AsLong(getattr(info, n.file_size));
        if (size == -1 && PyErr_Occurred()) raise();
        if (size > kMaxContentTypes) return false;
        Ref data = call_method(archive, n.read, name);
        Ref etree = check(PyImport_Import(n.mod_defused_etree));
        Ref kwnames = tuple_of({n.forbid_dtd});
        Ref root = call_kw(getattr(etree, n.fromstring), {data.get(), Py_True}, kwnames);
        Ref overrides = call_method(root, n.iter, Ref(text(kOverrideTag)));
        Ref it = check(PyObject_GetIter(overrides));
        while (Ref element = Ref::steal(PyIter_Next(it))) {
            Ref type = call_method(element, n.get, n.ContentType);
            for (const char* macro : kMacroTypes)
                if (PyUnicode_Check(type) && PyUnicode_CompareWithASCIIString(type, macro) == 0) return true;
        }
        if (PyErr_Occurred()) raise();
        return false;
    });
    or_else(false, [&] {
        call_method(archive, n.close);
        return true;
    });
    return macros;
}

bool has_suffix(PyObject* lowered, const char* suffix) {
    Ref tail = text(suffix);
    return check_status((int)PyUnicode_Tailmatch(lowered, tail, 0, PY_SSIZE_T_MAX, 1)) != 0;
}

// A workbook whose VBA project a save must keep.
bool is_macro_workbook(const Names& n, PyObject* bookname) {
    Ref path = path_text(bookname);
    if (!path) return false;
    Ref lowered = call_method(path, n.lower);
    if (has_suffix(lowered, ".xlsm") || has_suffix(lowered, ".xltm")) return true;
    return declares_macros(n, path);
}

// Whether `fn` is the library's own load_workbook.
bool is_library_open(const Call& c, PyObject* fn) {
    Ref module = check(PyImport_Import(c.n().mod_reader_excel));
    Ref own = getattr_opt(module, c.n().load_workbook);
    return own && own.get() == fn;
}

// Whether the library's load_workbook takes rich_text (3.1 does, 3.0 does
// not): its parameter names are looked at once, and the answer kept.
bool takes_rich_text(const Call& c, PyObject* fn) {
    State& st = c.st;
    if (st.open_checked.get() == fn) return st.open_rich_text;
    const Names& n = c.n();
    bool takes = false;
    if (Ref code = getattr_opt(fn, n.code)) {
        Ref positional = getattr(code, n.co_argcount);
        Ref keyword_only = getattr(code, n.co_kwonlyargcount);
        Ref count_obj = check(PyNumber_Add(positional, keyword_only));
        const Py_ssize_t count = PyNumber_AsSsize_t(count_obj, nullptr);
        if (count == -1 && PyErr_Occurred()) raise();
        Ref names = getattr(code, n.co_varnames);
        for (Py_ssize_t i = 0; i < count && !takes; ++i) {
            Ref name = check(PySequence_GetItem(names, i));
            takes = eq(name, n.rich_text);
        }
    }
    st.open_checked = Ref::borrow(fn);
    st.open_rich_text = takes;
    return takes;
}

// Whether the library's rich-text reader would lose text of the file's shared
// strings: it keeps only the text of a string item that has a text of its own
// before its runs. Such a workbook is opened without rich text (its
// formatting is then flattened, and the save says so) rather than lose text.
// Whatever cannot be read counts as no: the open then reports it.
bool rich_text_loses_text(const Call& c, PyObject* bookname) {
    Ref path = path_text(bookname);
    if (!path) return false;
    return or_else(false, [&] {
        pkg::Package package(c, path, std::string());
        package.read_workbook();
        return package.plain_before_runs > 0;
    });
}

}  // namespace

Ref path_text(PyObject* name) {
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

Ref open_editable(const Call& c, PyObject* bookname, bool& rich_text) {
    const Names& n = c.n();
    rich_text = false;
    Ref fn = c.global(n.load_workbook);
    if (!is_library_open(c, fn)) return call(fn, bookname);
    const bool vba = is_macro_workbook(n, bookname);
    const bool rich = takes_rich_text(c, fn) && !rich_text_loses_text(c, bookname);
    rich_text = rich;
    if (vba && rich) return call_kw(fn, {bookname, Py_True, Py_True}, Ref(tuple_of({n.keep_vba, n.rich_text})));
    if (vba) return call_kw(fn, {bookname, Py_True}, Ref(tuple_of({n.keep_vba})));
    if (rich) return call_kw(fn, {bookname, Py_True}, Ref(tuple_of({n.rich_text})));
    return call(fn, bookname);
}

void close_editable(const Call& c, PyObject* book) noexcept {
    PendingError pending;
    try {
        if (!is_library_workbook(c, book)) return;
        Ref archive = getattr_opt(book, c.n().vba_archive);
        if (archive && archive.get() != Py_None) call_method(archive, c.n().close);
    } catch (...) {
        PyErr_Clear();
    }
}

Ref new_workbook(const Call& c) { return call(c.global(c.n().Workbook)); }

void remove_active_sheet(const Call& c, PyObject* book) {
    const Names& n = c.n();
    Ref active = getattr(book, n.active);
    call_method(book, is_library_workbook(c, book) ? n.remove : n.remove_sheet, active);
}

void save(const Call& c, PyObject* book, PyObject* filename) { call_method(book, c.n().save, filename); }

Ref create_sheet(const Call& c, PyObject* book, PyObject* title) {
    return call_method(book, c.n().create_sheet, title);
}

namespace {

// The cell store of the library's own editable worksheet, a dict keyed by
// (row, column); empty for any other object.
Ref cell_store(const Call& c, PyObject* sheet) {
    if (!is_exactly(c, sheet, Lib::Worksheet)) return Ref();
    Ref cells = getattr_opt(sheet, c.n().cells_attr);
    return cells && PyDict_CheckExact(cells.get()) ? std::move(cells) : Ref();
}

Ref cell_key(Py_ssize_t row, int column) {
    Ref r = check(PyLong_FromSsize_t(row));
    Ref col = check(PyLong_FromLong(column));
    return check(PyTuple_Pack(2, r.get(), col.get()));
}

}  // namespace

SheetWriter::SheetWriter(const Call& c, Ref sheet)
    : c_(c), sheet_(std::move(sheet)), cell_(getattr(sheet_, c.n().cell)), cells_(cell_store(c, sheet_)) {
    if (cells_) rich_text_class_ = Ref::borrow(library_class(c, Lib::CellRichText));
}

std::vector<Py_ssize_t> SheetWriter::rows_with_cell(int column, Py_ssize_t first, Py_ssize_t last) {
    std::vector<Py_ssize_t> rows;
    if (!cells_) {
        for (Py_ssize_t row = first; row <= last; ++row) rows.push_back(row);
        return rows;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(cells_, &pos, &key, &value)) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) continue;
        Py_ssize_t row = PyLong_AsSsize_t(PyTuple_GET_ITEM(key, 0));
        if (row == -1 && PyErr_Occurred()) raise();
        long col = PyLong_AsLong(PyTuple_GET_ITEM(key, 1));
        if (col == -1 && PyErr_Occurred()) raise();
        if (col == column && row >= first && row <= last) rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

Ref SheetWriter::known_cell(Py_ssize_t row, int column) {
    Ref key = cell_key(row, column);
    PyObject* cell = PyDict_GetItemWithError(cells_, key);
    if (!cell && PyErr_Occurred()) raise();
    return Ref::borrow(cell);
}

Ref SheetWriter::read(Py_ssize_t row, int column) {
    if (!cells_) return getattr(cell_at(row, column), c_.n().value);
    Ref cell = known_cell(row, column);
    if (!cell) return none();
    return getattr(cell, c_.n().value);
}

bool SheetWriter::known_empty(Py_ssize_t row, int column) {
    if (!cells_) return false;
    return read(row, column).get() == Py_None;
}

bool SheetWriter::holds(Py_ssize_t row, int column, PyObject* content) {
    Ref current;
    if (cells_) {
        Ref cell = known_cell(row, column);
        if (!cell) return content == Py_None;
        if (eq(getattr(cell, c_.n().data_type), c_.n().formula_code)) return true;
        current = getattr(cell, c_.n().value);
        PyObject* v = current.get();
        const bool plain = v == Py_None || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || PyLong_CheckExact(v);
        if (rich_text_class_ && !plain && isinstance(current, rich_text_class_)) current = str(current);
    } else {
        current = read(row, column);
    }
    if (current.get() == content) return true;
    return Py_TYPE(current.get()) == Py_TYPE(content) && eq(current, content);
}

std::vector<MergedRange> SheetWriter::merged_ranges(int first_col, int last_col) {
    std::vector<MergedRange> out;
    if (!cells_) return out;
    const Names& n = c_.n();
    Ref merged = getattr_opt(sheet_, n.merged_cells);
    if (!merged) return out;
    Ref it = check(PyObject_GetIter(getattr(merged, n.ranges)));
    auto number = [](PyObject* range, PyObject* name) {
        Py_ssize_t v = PyNumber_AsSsize_t(getattr(range, name), nullptr);
        if (v == -1 && PyErr_Occurred()) raise();
        return v;
    };
    while (Ref range = Ref::steal(PyIter_Next(it))) {
        MergedRange m{number(range, n.min_row), number(range, n.max_row), number(range, n.min_col),
                      number(range, n.max_col), getattr(range, n.coord)};
        if (m.max_col >= first_col && m.min_col <= last_col) out.push_back(std::move(m));
    }
    if (PyErr_Occurred()) raise();
    return out;
}

void SheetWriter::clear(Py_ssize_t row, int column) {
    if (known_empty(row, column)) return;
    write(row, column, Py_None);
}

Py_ssize_t SheetWriter::max_row() const {
    Ref last = getattr_opt(sheet_, c_.n().max_row);
    if (!last || last.get() == Py_None) return 0;
    Py_ssize_t row = PyLong_AsSsize_t(last);
    if (row == -1 && PyErr_Occurred()) raise();
    return row;
}

Ref SheetWriter::cell_at(Py_ssize_t row, int column) {
    if (!row_obj_ || row != row_) {
        row_obj_ = check(PyLong_FromSsize_t(row));
        row_ = row;
    }
    Ref column_obj = integer(column);
    return call_kw(cell_, {row_obj_.get(), column_obj.get()}, c_.st.kw_cell);
}

namespace {

// Whether the library takes `content` for a formula when it is assigned to a
// cell: a text (or bytes, which it decodes) of two or more characters that
// starts with "=".
bool formula_like(PyObject* content) {
    if (PyUnicode_Check(content)) {
        if (!compat::unicode_ready(content)) raise();
        return PyUnicode_GET_LENGTH(content) > 1 && PyUnicode_READ_CHAR(content, 0) == '=';
    }
    if (PyBytes_Check(content)) return PyBytes_GET_SIZE(content) > 1 && PyBytes_AS_STRING(content)[0] == '=';
    return false;
}

}  // namespace

void SheetWriter::write(Py_ssize_t row, int column, PyObject* content) {
    const Names& n = c_.n();
    Ref cell = cell_at(row, column);
    setattr(cell, n.value, content);
    if (formula_like(content) && eq(getattr(cell, n.data_type), n.formula_code))
        setattr(cell, n.data_type, n.string_code);
}

}  // namespace tp::xl
