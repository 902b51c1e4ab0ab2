#include "sheet/locate.hpp"

#include "module/ops.hpp"

#include <cstdio>
#include <vector>

namespace tp::sheet {
namespace {

using Text = std::vector<Py_UCS4>;

void append(Text& out, const char* ascii) {
    while (*ascii) out.push_back((unsigned char)*ascii++);
}

Text characters(PyObject* s) {
    if (!compat::unicode_ready(s)) raise();
    Text out;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(s); ++i) out.push_back(PyUnicode_READ(kind, data, i));
    return out;
}

bool ascii_letter(Py_UCS4 ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); }
bool ascii_digit(Py_UCS4 ch) { return ch >= '0' && ch <= '9'; }

// Whether an office program writes the sheet name without quotes in a
// reference: letters, digits, "_" and "." after a letter or "_", and nothing
// that reads as a cell (B3, XFD100) or as a row or column in R1C1 style.
bool bare(const Text& name) {
    if (name.empty() || !(ascii_letter(name[0]) || name[0] == '_')) return false;
    for (Py_UCS4 ch : name)
        if (!(ascii_letter(ch) || ascii_digit(ch) || ch == '_' || ch == '.')) return false;
    size_t letters = 0;
    while (letters < name.size() && ascii_letter(name[letters])) ++letters;
    size_t digits = letters;
    while (digits < name.size() && ascii_digit(name[digits])) ++digits;
    if (digits == name.size() && letters <= 3 && digits > letters) return false;  // a cell: A1, XFD100
    // R1C1 style: R, C, R2, C3, R2C3.
    size_t i = 0;
    auto number = [&] {
        while (i < name.size() && ascii_digit(name[i])) ++i;
    };
    if (i < name.size() && (name[i] == 'R' || name[i] == 'r')) {
        ++i;
        number();
    }
    if (i < name.size() && (name[i] == 'C' || name[i] == 'c')) {
        ++i;
        number();
    }
    return i != name.size();
}

void append_sheet(Text& out, PyObject* sheetname) {
    Text name = characters(str(sheetname));
    if (bare(name)) {
        out.insert(out.end(), name.begin(), name.end());
        return;
    }
    out.push_back('\'');
    for (Py_UCS4 ch : name) {
        if (ch == '\'') out.push_back('\'');
        out.push_back(ch);
    }
    out.push_back('\'');
}

void append_json_string(Text& out, PyObject* text) {
    out.push_back('"');
    for (Py_UCS4 ch : characters(text)) {
        switch (ch) {
            case '"': append(out, "\\\""); break;
            case '\\': append(out, "\\\\"); break;
            case '\n': append(out, "\\n"); break;
            case '\r': append(out, "\\r"); break;
            case '\t': append(out, "\\t"); break;
            default:
                if (ch < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", (unsigned)ch);
                    append(out, escape);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

Ref note_text(PyObject* sheetname, Py_ssize_t row, int column, PyObject* name) {
    Text note;
    append(note, "while loading ");
    append_sheet(note, sheetname);
    char cell[32];
    std::snprintf(cell, sizeof cell, "!%c%zd (parameter ", (char)('A' + column - 1), row);
    append(note, cell);
    append_json_string(note, str(name));
    note.push_back(')');
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, note.data(), (Py_ssize_t)note.size()));
}

}  // namespace

void add_location_note(const Names& n, PyObject* sheetname, Py_ssize_t row, int column, PyObject* name) noexcept {
    PyObject *type, *value, *traceback;
    compat::error_fetch_normalized(&type, &value, &traceback);
    if (value && PyErr_GivenExceptionMatches(value, PyExc_Exception)) {
        try {
            Ref note = note_text(sheetname, row, column, name);
            check_status(compat::add_note(value, note, n.add_note, n.notes));
        } catch (...) {
            PyErr_Clear();
        }
    }
    compat::error_restore(type, value, traceback);
}

}  // namespace tp::sheet
