#include "module/keep.hpp"

#include "module/parts.hpp"
#include "module/xl.hpp"
#include "module/xml.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <map>
#include <unordered_set>

namespace tp::xl {

// --- the library's warnings -------------------------------------------------

LibraryWarnings::LibraryWarnings(const Call& c) : c_(c) {
    const Names& n = c.n();
    Ref warnings = check(PyImport_Import(n.mod_warnings));
    Ref factory = getattr(warnings, n.catch_warnings);
    manager_ = call_kw(factory, {Py_True}, c.st.kw_record);
    log_ = call_method(manager_, n.enter);
    try {
        call_method(warnings, n.simplefilter, n.always);
    } catch (...) {
        PendingError pending;
        leave();
        throw;
    }
}

void LibraryWarnings::leave() {
    if (!manager_) return;
    Ref manager = std::move(manager_);
    PyObject* r = PyObject_CallMethodObjArgs(manager, c_.n().exit, Py_None, Py_None, Py_None, nullptr);
    if (!r) raise();
    Py_DECREF(r);
}

LibraryWarnings::~LibraryWarnings() {
    if (!manager_) return;
    PendingError pending;
    try {
        leave();
    } catch (...) {
    }
}

void LibraryWarnings::finish() {
    const Names& n = c_.n();
    leave();
    if (!log_ || !PyList_Check(log_.get())) return;
    Ref openpyxl = check(PyImport_Import(n.mod_openpyxl));
    Ref init = getattr(openpyxl, n.dunder_file);
    Ref os = check(PyImport_Import(n.mod_os));
    Ref os_path = getattr(os, n.path);
    Ref folder = call(getattr(os_path, n.dirname), init);
    Ref warnings = check(PyImport_Import(n.mod_warnings));
    Ref warn_explicit = getattr(warnings, n.warn_explicit);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(log_.get()); ++i) {
        Ref w = Ref::borrow(PyList_GET_ITEM(log_.get(), i));
        Ref filename = getattr(w, n.filename);
        if (PyUnicode_Check(filename) && truth(call_method(filename, n.startswith, folder))) continue;
        call(warn_explicit, getattr(w, n.message), getattr(w, n.category), filename, getattr(w, n.lineno));
    }
}

namespace {

using pkg::Cell;
using pkg::Cells;
using pkg::Kind;

// --- numbers ----------------------------------------------------------------

// The text that reads back as exactly `value` (a float or an int of the
// library's cell), or false when the cell holds no such number.
bool exact_number(PyObject* value, std::string& out) {
    if (PyBool_Check(value)) return false;
    if (PyFloat_Check(value)) {
        const double d = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(d)) return false;
        char* s = PyOS_double_to_string(d, 'r', 0, 0, nullptr);
        if (!s) raise();
        out = s;
        PyMem_Free(s);
        return true;
    }
    if (PyLong_Check(value)) {
        Ref text = check(PyLong_Type.tp_repr(value));
        Py_ssize_t size = 0;
        const char* s = PyUnicode_AsUTF8AndSize(text, &size);
        if (!s) raise();
        out.assign(s, (size_t)size);
        return true;
    }
    return false;
}

// What the library writes for a number: "%.16g" of it as a float.
std::string library_digits(double d) {
    char* s = PyOS_double_to_string(d, 'g', 16, 0, nullptr);
    if (!s) raise();
    std::string out(s);
    PyMem_Free(s);
    return out;
}

// Whether the library's text reads back as exactly `value`.
bool reads_back_as(const std::string& written, const std::string& exact, PyObject* value) {
    if (written == exact) return true;
    if (!PyFloat_Check(value)) return false;  // an int: its digits, exactly
    return std::strtod(written.c_str(), nullptr) == PyFloat_AS_DOUBLE(value);
}

// The numbers of the in-memory worksheets of `book` (the library's own
// Worksheet class only) that the library's digits would not give back, as
// the texts that do, by sheet title and cell; and whether any cell may hold
// a formula (a text starting with "=", or one of the library's formula objects).
void number_fixes(const Call& c, PyObject* book, std::map<std::string, std::unordered_map<uint64_t, std::string>>& fixes,
                  bool& formulas) {
    const Names& n = c.n();
    Ref sheets = getattr(book, n.worksheets);
    Ref it = check(PyObject_GetIter(sheets));
    std::string exact;
    while (Ref ws = Ref::steal(PyIter_Next(it))) {
        if (!is_exactly(c, ws, Lib::Worksheet)) {
            formulas = true;  // unknown: look at the file
            continue;
        }
        Ref title = getattr(ws, n.title);
        if (!PyUnicode_Check(title)) continue;
        Py_ssize_t size = 0;
        const char* t = PyUnicode_AsUTF8AndSize(title, &size);
        if (!t) raise();
        std::unordered_map<uint64_t, std::string>* sheet_fixes = nullptr;
        Ref store = getattr(ws, n.cells_attr);
        if (!PyDict_Check(store)) continue;
        PyObject *k, *cell;
        Py_ssize_t pos = 0;
        while (PyDict_Next(store, &pos, &k, &cell)) {
            if (!PyTuple_Check(k) || PyTuple_GET_SIZE(k) != 2) continue;
            Ref hold = Ref::borrow(cell);
            Ref value = getattr_opt(hold, n.value_attr);
            if (!value || value.get() == Py_None) continue;
            if (PyUnicode_Check(value)) {
                if (!formulas && PyUnicode_GET_LENGTH(value.get()) > 1 && PyUnicode_READ_CHAR(value.get(), 0) == '=')
                    formulas = true;
                continue;
            }
            // Most numbers need no text of their own: the library's digits give them back.
            if (PyFloat_Check(value.get())) {
                const double d = PyFloat_AS_DOUBLE(value.get());
                if (!std::isfinite(d) || std::strtod(library_digits(d).c_str(), nullptr) == d) continue;
            } else if (PyLong_CheckExact(value.get())) {
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
                if (v == -1 && PyErr_Occurred()) raise();
                if (!overflow && v >= -(1LL << 53) && v <= (1LL << 53)) continue;  // 16 digits at most, all written
            }
            if (!exact_number(value, exact)) {
                if (!PyBool_Check(value) && !PyFloat_Check(value) && !PyLong_Check(value) &&
                    !PyBytes_Check(value))
                    formulas = true;  // a formula object, a date, rich text: look at the file
                continue;
            }
            const double d = PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value.get()) : PyLong_AsDouble(value);
            if (d == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                continue;  // an int beyond any double, which the library refuses itself
            }
            if (reads_back_as(library_digits(d), exact, value)) continue;
            const long row = PyLong_AsLong(PyTuple_GET_ITEM(k, 0));
            const long col = PyLong_AsLong(PyTuple_GET_ITEM(k, 1));
            if (PyErr_Occurred()) raise();
            if (row < 1 || col < 1 || row > (long)formula::kMaxRow || col > (long)formula::kMaxColumn) continue;
            if (!sheet_fixes) sheet_fixes = &fixes[std::string(t, (size_t)size)];
            (*sheet_fixes)[pkg::key((uint32_t)row, (uint32_t)col)] = exact;
        }
    }
    if (PyErr_Occurred()) raise();
}

// --- dates stored as ISO 8601 text ------------------------------------------

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
long days_from_civil(long y, long m, long d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// The serial number the library stores for the ISO 8601 text of a cell of
// type "d" (a date, a time, or both: YYYY-MM-DD, THH:MM[:SS[.fff]], Z), as
// it reads and writes them; false for any other text.
bool iso_serial(const std::string& s, bool date1904, double& out) {
    size_t i = 0;
    auto digits = [&](size_t n, long& v) {
        if (i + n > s.size()) return false;
        v = 0;
        for (size_t k = 0; k < n; ++k) {
            const char ch = s[i + k];
            if (ch < '0' || ch > '9') return false;
            v = v * 10 + (ch - '0');
        }
        i += n;
        return true;
    };
    auto sep = [&](char ch) { return i < s.size() && s[i] == ch && ++i; };
    long y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    double fraction = 0;
    bool has_date = false, has_time = false;
    if (s.size() >= 10 && s[4] == '-') {
        if (!digits(4, y) || !sep('-') || !digits(2, mo) || !sep('-') || !digits(2, d)) return false;
        if (mo < 1 || mo > 12 || d < 1 || d > 31) return false;
        has_date = true;
    }
    sep('T');
    if (i < s.size() && s[i] != 'Z') {
        if (!digits(2, h) || !sep(':') || !digits(2, mi)) return false;
        if (sep(':')) {
            if (!digits(2, sec)) return false;
            if (sep('.')) {
                size_t start = i;
                double scale = 0.1;
                for (; i < s.size() && i - start < 3 && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10)
                    fraction += (s[i] - '0') * scale;
                if (i == start) return false;
            }
        }
        if (h > 23 || mi > 59 || sec > 59) return false;
        has_time = true;
    }
    sep('Z');
    if (i != s.size() || (!has_date && !has_time)) return false;
    const double time = (h * 3600 + mi * 60 + sec + fraction) / 86400.0;
    if (!has_date) {
        out = time;
        return true;
    }
    long days = days_from_civil(y, mo, d) - (date1904 ? days_from_civil(1904, 1, 1) : days_from_civil(1899, 12, 30));
    if (!date1904 && days > 0 && days <= 60) days -= 1;  // the 1900 calendar's 29 February
    out = (double)days + time;
    return true;
}

// The cells of type "d" in `before` that the library stored as the number
// `after` holds now: marked in `after` as the same date again, and listed (by
// cell) with their text. Cells whose text the library's reading cannot be
// matched to are counted in after.dates_lost.
std::unordered_map<uint64_t, std::string> kept_dates(const pkg::Sheet& before, pkg::Sheet& after, bool date1904) {
    std::unordered_map<uint64_t, std::string> out;
    for (const auto& kv : before.cells) {
        if (kv.second.kind != Kind::date) continue;
        auto now = after.cells.find(kv.first);
        if (now == after.cells.end() || now->second.kind != Kind::number) continue;
        double serial = 0;
        if (!iso_serial(kv.second.value, date1904, serial)) {
            ++after.dates_lost;
            continue;
        }
        char* end = nullptr;
        const double stored = std::strtod(now->second.value.c_str(), &end);
        if (end == now->second.value.c_str() || std::fabs(stored - serial) > 1e-8) continue;  // the save wrote it
        out.emplace(kv.first, kv.second.value);
        now->second.kind = Kind::date;
        now->second.value = kv.second.value;
    }
    return out;
}

// --- which cells changed, and which formulas read them ----------------------

// Cell positions of one sheet, sorted column by column, for block queries.
struct Points {
    std::vector<uint64_t> keys;  // column << 21 | row
    std::vector<int> ids;        // parallel to keys when the points carry a value
    static uint64_t pack(uint32_t row, uint32_t col) { return ((uint64_t)col << 21) | row; }

    void sort_with_ids() {
        std::vector<size_t> order(keys.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
        std::vector<uint64_t> k(keys.size());
        std::vector<int> v(ids.size());
        for (size_t i = 0; i < order.size(); ++i) {
            k[i] = keys[order[i]];
            if (!ids.empty()) v[i] = ids[order[i]];
        }
        keys.swap(k);
        ids.swap(v);
    }

    // Calls f(index) for every point in the block, until f returns true.
    template <class F>
    bool any_in(uint32_t r1, uint32_t c1, uint32_t r2, uint32_t c2, F&& f) const {
        auto it = std::lower_bound(keys.begin(), keys.end(), pack(r1, c1));
        while (it != keys.end()) {
            const uint32_t col = (uint32_t)(*it >> 21), row = (uint32_t)(*it & 0x1fffff);
            if (col > c2) break;
            if (row < r1) {
                it = std::lower_bound(it, keys.end(), pack(r1, col));
            } else if (row > r2) {
                it = std::lower_bound(it, keys.end(), pack(r1, col + 1));
            } else {
                if (f((size_t)(it - keys.begin()))) return true;
                ++it;
            }
        }
        return false;
    }
};

// The block of an array formula ("C1:C3"), or false.
bool parse_block(const std::string& ref, uint32_t& r1, uint32_t& c1, uint32_t& r2, uint32_t& c2) {
    size_t colon = ref.find(':');
    if (colon == std::string::npos) {
        if (!formula::parse_cell(ref.data(), ref.size(), r1, c1)) return false;
        r2 = r1;
        c2 = c1;
        return true;
    }
    if (!formula::parse_cell(ref.data(), colon, r1, c1) ||
        !formula::parse_cell(ref.data() + colon + 1, ref.size() - colon - 1, r2, c2))
        return false;
    if (r1 > r2) std::swap(r1, r2);
    if (c1 > c2) std::swap(c1, c2);
    return true;
}

struct Node {
    int sheet;
    uint64_t key;
    bool dirty = false;
};

struct Verdict {
    // per written sheet: formula cells whose stored result comes back, and
    // cells whose result is removed
    std::vector<std::unordered_map<uint64_t, std::pair<Kind, std::string>>> restore;
    std::vector<std::unordered_set<uint64_t>> clear;
};

// Each kept formula of `written` gets back its result from `original` unless
// what it reads changed.
Verdict decide(pkg::Package& original, pkg::Package& written) {
    const size_t count = written.sheets.size();
    Verdict verdict;
    verdict.restore.resize(count);
    verdict.clear.resize(count);

    // The original sheet of each written one, matched by title.
    std::vector<const Cells*> before(count, nullptr);
    for (size_t i = 0; i < count; ++i)
        for (const pkg::Sheet& s : original.sheets)
            if (s.title == written.sheets[i].title) before[i] = &s.cells;

    // Cells whose content differs, and the formula cells of the written file.
    std::vector<Points> changed(count), formulas(count);
    std::vector<Node> nodes;
    bool any_change = false;
    static const Cells no_cells;
    for (size_t i = 0; i < count; ++i) {
        const Cells& now = written.sheets[i].cells;
        const Cells& then = before[i] ? *before[i] : no_cells;
        for (const auto& kv : now) {
            auto old = then.find(kv.first);
            const Cell* was = old == then.end() ? nullptr : &old->second;
            if (!pkg::same_content(was, &kv.second)) {
                changed[i].keys.push_back(Points::pack(pkg::key_row(kv.first), pkg::key_column(kv.first)));
                any_change = true;
            }
            if (kv.second.kind == Kind::formula) {
                const int id = (int)nodes.size();
                nodes.push_back(Node{(int)i, kv.first});
                formulas[i].keys.push_back(Points::pack(pkg::key_row(kv.first), pkg::key_column(kv.first)));
                formulas[i].ids.push_back(id);
            }
        }
        for (const auto& kv : then) {
            if (kv.second.kind != Kind::none && !now.count(kv.first)) {
                changed[i].keys.push_back(Points::pack(pkg::key_row(kv.first), pkg::key_column(kv.first)));
                any_change = true;
            }
        }
    }
    // A sheet of the original that the written file lacks changed as a whole.
    for (const pkg::Sheet& s : original.sheets) {
        bool kept = false;
        for (const pkg::Sheet& w : written.sheets) kept = kept || w.title == s.title;
        if (!kept && !s.cells.empty()) any_change = true;
    }

    // The cells of an array formula's block belong to its formula.
    for (size_t id = 0, end = nodes.size(); id < end; ++id) {
        const Cell& cell = written.sheets[(size_t)nodes[id].sheet].cells.at(nodes[id].key);
        uint32_t r1, c1, r2, c2;
        if (cell.formula_type != 'a' || !parse_block(cell.block, r1, c1, r2, c2)) continue;
        if ((uint64_t)(r2 - r1 + 1) * (c2 - c1 + 1) > 1000000) continue;
        for (uint32_t r = r1; r <= r2; ++r)
            for (uint32_t col = c1; col <= c2; ++col) {
                if (pkg::key(r, col) == nodes[id].key) continue;
                formulas[(size_t)nodes[id].sheet].keys.push_back(Points::pack(r, col));
                formulas[(size_t)nodes[id].sheet].ids.push_back((int)id);
            }
    }
    for (Points& p : changed) std::sort(p.keys.begin(), p.keys.end());
    for (Points& p : formulas) p.sort_with_ids();

    std::vector<std::string> titles;
    for (const pkg::Sheet& s : written.sheets) titles.push_back(s.title);
    formula::Resolver resolver(titles, written.names);

    // Seeds: formulas that changed themselves, read what cannot be known, or
    // read a changed cell. Then what reads a dirty formula is dirty too.
    std::vector<std::vector<int>> readers(nodes.size());
    std::deque<int> queue;
    if (any_change) {
        for (size_t id = 0; id < nodes.size(); ++id) {
            Node& node = nodes[id];
            const size_t s = (size_t)node.sheet;
            const Cell& cell = written.sheets[s].cells.at(node.key);
            const Cells& then = before[s] ? *before[s] : no_cells;
            auto old = then.find(node.key);
            bool dirty = old == then.end() || !pkg::same_content(&old->second, &cell) || cell.formula_type == 'd';
            formula::Refs refs;
            if (!dirty) {
                refs = resolver.refs(cell.value, node.sheet);
                dirty = refs.unresolved;
            }
            for (size_t a = 0; !dirty && a < refs.areas.size(); ++a) {
                const formula::Area& area = refs.areas[a];
                for (int sh = area.first; !dirty && sh <= area.last; ++sh) {
                    if (sh < 0 || (size_t)sh >= count) continue;
                    dirty = changed[(size_t)sh].any_in(area.r1, area.c1, area.r2, area.c2, [](size_t) { return true; });
                    if (dirty) break;
                    const Points& f = formulas[(size_t)sh];
                    f.any_in(area.r1, area.c1, area.r2, area.c2, [&](size_t k) {
                        const int from = f.ids[k];
                        if (from != (int)id && (readers[(size_t)from].empty() || readers[(size_t)from].back() != (int)id))
                            readers[(size_t)from].push_back((int)id);
                        return false;
                    });
                }
            }
            if (dirty) {
                node.dirty = true;
                queue.push_back((int)id);
            }
        }
        while (!queue.empty()) {
            const int id = queue.front();
            queue.pop_front();
            for (int reader : readers[(size_t)id]) {
                if (nodes[(size_t)reader].dirty) continue;
                nodes[(size_t)reader].dirty = true;
                queue.push_back(reader);
            }
        }
    }

    for (const Node& node : nodes) {
        const size_t s = (size_t)node.sheet;
        const Cell& cell = written.sheets[s].cells.at(node.key);
        if (node.dirty) {
            verdict.clear[s].insert(node.key);
            uint32_t r1, c1, r2, c2;
            if (cell.formula_type == 'a' && parse_block(cell.block, r1, c1, r2, c2) &&
                (uint64_t)(r2 - r1 + 1) * (c2 - c1 + 1) <= 1000000)
                for (uint32_t r = r1; r <= r2; ++r)
                    for (uint32_t col = c1; col <= c2; ++col) verdict.clear[s].insert(pkg::key(r, col));
            continue;
        }
        const Cells& then = before[s] ? *before[s] : no_cells;
        auto old = then.find(node.key);
        if (old != then.end() && old->second.kind == Kind::formula && old->second.has_result)
            verdict.restore[s][node.key] = {old->second.result_kind, old->second.result};
    }
    return verdict;
}

// --- re-serialising a part the library wrote --------------------------------

using xml::Rewriter;

struct SheetEdits {
    const std::unordered_map<uint64_t, std::string>* numbers = nullptr;
    const std::unordered_map<uint64_t, std::pair<Kind, std::string>>* restore = nullptr;
    const std::unordered_set<uint64_t>* clear = nullptr;
    const std::unordered_map<uint64_t, std::string>* dates = nullptr;  // cells written back as ISO text
};

const char* result_type(Kind kind) {
    switch (kind) {
    case Kind::text: return "str";
    case Kind::boolean: return "b";
    case Kind::error: return "e";
    case Kind::date: return "d";
    default: return nullptr;
    }
}

class SheetRewriter : public Rewriter {
public:
    explicit SheetRewriter(const SheetEdits& e) : edits(e) {}

    void start(const char* name, const char** a) override {
        ++depth;
        if (!in_cell && depth == 4 && xml::is(name, "c")) {
            close_pending();
            in_cell = true;
            cell_name = name;
            attributes.clear();
            for (const char** p = a; *p; p += 2) attributes.emplace_back(p[0], p[1]);
            body.clear();
            sink = &body;
            has_v = has_f = false;
            v_text.clear();
            skip = 0;
            const char* r = xml::attribute(a, "r");
            uint32_t row = 0, col = 0;
            key = r && formula::parse_cell(r, std::strlen(r), row, col) ? pkg::key(row, col) : 0;
            return;
        }
        if (in_cell && depth == 5) {
            if (xml::is(name, "v")) {
                close_pending();
                has_v = true;
                v_pos = body.size();
                in_v = true;
                return;
            }
            if (xml::is(name, "f")) has_f = true;
            if (xml::is(name, "is") && edits.clear->count(key)) skip = depth;
        }
        if (skip) return;
        open(name, a);
    }

    void end(const char* name) override {
        if (in_cell && depth == 4) {
            finish_cell();
        } else if (in_v && depth == 5) {
            in_v = false;
        } else if (skip) {
            if (depth == skip) skip = 0;
        } else {
            close(name);
        }
        --depth;
    }

    void text(const char* s, int len) override {
        if (in_v) v_text.append(s, (size_t)len);
        else if (!skip) Rewriter::text(s, len);
    }

private:
    void finish_cell() {
        close_pending();
        sink = &out;
        in_cell = false;
        if (!has_v) v_pos = body.size();
        const char* new_type = nullptr;
        bool set_type = false, drop_type = false;
        std::string v = v_text;
        bool keep_v = has_v;
        if (has_f) {
            auto r = edits.restore->find(key);
            if (r != edits.restore->end()) {
                new_type = result_type(r->second.first);
                set_type = true;
                v = r->second.second;
                keep_v = true;
            } else if (v.empty()) {
                keep_v = false;  // no result: none rather than an empty one
            }
        } else if (edits.clear->count(key)) {
            keep_v = false;  // a value of an array formula's block whose formula must be computed again
            drop_type = true;
        } else if (edits.dates->count(key)) {
            new_type = "d";
            set_type = true;
            v = edits.dates->at(key);
        } else {
            auto fix = edits.numbers->find(key);
            if (fix != edits.numbers->end()) v = fix->second;
        }
        out += '<';
        out += cell_name;
        for (auto& a : attributes) {
            if (std::strcmp(xml::local(a.first.c_str()), "t") == 0 && a.first.find(':') == std::string::npos) {
                if (set_type || drop_type) continue;
            }
            out += ' ';
            out += a.first;
            out += "=\"";
            xml::escape_attribute(out, a.second.c_str());
            out += '"';
        }
        if (set_type && new_type) {
            out += " t=\"";
            out += new_type;
            out += '"';
        }
        std::string inner = keep_v ? body.substr(0, v_pos) : body;
        if (keep_v) {
            inner += "<v>";
            xml::escape_text(inner, v.data(), v.size());
            inner += "</v>";
            inner.append(body, v_pos, std::string::npos);
        }
        if (inner.empty()) {
            out += "/>";
        } else {
            out += '>';
            out += inner;
            out += "</";
            out += cell_name;
            out += '>';
        }
    }

    const SheetEdits& edits;
    int depth = 0, skip = 0;
    bool in_cell = false, in_v = false, has_v = false, has_f = false;
    std::string cell_name, body, v_text;
    size_t v_pos = 0;
    uint64_t key = 0;
    std::vector<std::pair<std::string, std::string>> attributes;
};

// workbook.xml with calcPr asking for a full calculation on opening.
class WorkbookRewriter : public Rewriter {
public:
    void start(const char* name, const char** a) override {
        ++depth;
        if (depth == 1) {
            const char* colon = std::strchr(name, ':');
            prefix = colon ? std::string(name, (size_t)(colon - name + 1)) : std::string();
        }
        if (depth == 2 && !seen && xml::is(name, "calcPr")) {
            seen = true;
            std::vector<const char*> attrs;
            for (const char** p = a; *p; p += 2)
                if (std::strcmp(p[0], "fullCalcOnLoad") != 0) {
                    attrs.push_back(p[0]);
                    attrs.push_back(p[1]);
                }
            attrs.push_back("fullCalcOnLoad");
            attrs.push_back("1");
            attrs.push_back(nullptr);
            open(name, attrs.data());
            return;
        }
        if (depth == 2 && !seen && after_calc_pr(xml::local(name))) insert(name);
        open(name, a);
    }
    void end(const char* name) override {
        if (depth == 1 && !seen) insert(name);
        close(name);
        --depth;
    }

private:
    static bool after_calc_pr(const char* l) {
        static const char* const later[] = {"oleSize", "customWorkbookViews", "pivotCaches", "smartTagPr",
                                            "smartTagTypes", "webPublishing", "fileRecoveryPr",
                                            "webPublishObjects", "extLst"};
        for (const char* x : later)
            if (std::strcmp(l, x) == 0) return true;
        return false;
    }
    void insert(const char*) {
        seen = true;
        close_pending();
        out += "<" + prefix + "calcPr calcId=\"191029\" fullCalcOnLoad=\"1\"/>";
    }
    std::string prefix;  // of the root element, which the calcPr element shares
    int depth = 0;
    bool seen = false;
};

// docProps/app.xml of the original with the sheet titles of the saved file.
class AppRewriter : public Rewriter {
public:
    explicit AppRewriter(const std::vector<std::string>& t) : titles(t) {}
    void start(const char* name, const char** a) override {
        ++depth;
        if (skip) return;
        open(name, a);
        if (depth == 2 && (xml::is(name, "HeadingPairs") || xml::is(name, "TitlesOfParts"))) {
            close_pending();
            const bool heading = xml::is(name, "HeadingPairs");
            out += "<vt:vector xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\" ";
            if (heading) {
                out += "size=\"2\" baseType=\"variant\"><vt:variant><vt:lpstr>Worksheets</vt:lpstr></vt:variant>"
                       "<vt:variant><vt:i4>" + std::to_string(titles.size()) + "</vt:i4></vt:variant></vt:vector>";
            } else {
                out += "size=\"" + std::to_string(titles.size()) + "\" baseType=\"lpstr\">";
                for (const std::string& t : titles) {
                    out += "<vt:lpstr>";
                    xml::escape_text(out, t.data(), t.size());
                    out += "</vt:lpstr>";
                }
                out += "</vt:vector>";
            }
            skip = depth;
        }
    }
    void end(const char* name) override {
        if (skip && depth > skip) {
            --depth;
            return;
        }
        if (skip == depth) skip = 0;
        close(name);
        --depth;
    }
    void text(const char* s, int len) override {
        if (!skip) Rewriter::text(s, len);
    }

private:
    const std::vector<std::string>& titles;
    int depth = 0, skip = 0;
};

std::string rewrite(pkg::Package& p, const std::string& part, Rewriter& r) {
    PyObject* data = p.bytes(part);
    xml::parse(PyBytes_AS_STRING(data), (size_t)PyBytes_GET_SIZE(data), r, false, p.shown + ": " + part);
    return std::move(r.out);
}

std::string utf8_of(PyObject* obj) {
    Ref s = str(obj);
    Py_ssize_t size = 0;
    const char* t = PyUnicode_AsUTF8AndSize(s, &size);
    if (!t) raise();
    return std::string(t, (size_t)size);
}

bool same_bytes(PyObject* a, PyObject* b) {
    return a && b && PyBytes_GET_SIZE(a) == PyBytes_GET_SIZE(b) &&
           std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), (size_t)PyBytes_GET_SIZE(a)) == 0;
}

}  // namespace

void keep_what_the_save_did_not_change(const Call& c, PyObject* book, PyObject* source, PyObject* temp,
                                       PyObject* shown, bool rich_text) {
    const std::string name = utf8_of(shown);
    std::map<std::string, std::unordered_map<uint64_t, std::string>> fixes_by_title;
    bool has_formulas = false;
    number_fixes(c, book, fixes_by_title, has_formulas);

    // The cells of the files are needed only where formulas may be.
    pkg::Package written(c, temp, name);
    written.read_workbook();
    // Without formulas, a written sheet is parsed only where telling what
    // was dropped needs it (see below).
    const bool sheets_parsed = has_formulas;
    written.read_sheets(has_formulas, sheets_parsed);
    const size_t count = written.sheets.size();
    std::vector<std::unordered_map<uint64_t, std::string>> fixes(count);
    for (size_t i = 0; i < count; ++i) {
        auto f = fixes_by_title.find(written.sheets[i].title);
        if (f == fixes_by_title.end()) continue;
        fixes[i] = std::move(f->second);
        fixes_by_title.erase(f);  // a title twice: the first sheet of it
        for (const auto& kv : fixes[i]) {
            auto cell = written.sheets[i].cells.find(kv.first);
            if (cell != written.sheets[i].cells.end() && cell->second.kind == Kind::number) cell->second.value = kv.second;
        }
    }
    if (has_formulas) {
        has_formulas = false;
        for (const pkg::Sheet& s : written.sheets)
            for (const auto& kv : s.cells) has_formulas = has_formulas || kv.second.kind == Kind::formula;
    }

    std::unordered_map<std::string, std::string> replacement;
    Verdict verdict;
    verdict.restore.resize(count);
    verdict.clear.resize(count);
    std::string lost;
    bool parts_added = false;
    std::vector<std::unordered_map<uint64_t, std::string>> dates(count);

    if (source) {
        pkg::Package original(c, source, name);
        original.read_workbook();
        original.read_sheets(has_formulas);
        // Sheets with dates as ISO text: the library stores them as numbers,
        // which become that text again where the save did not change them.
        for (size_t i = 0; i < count; ++i) {
            pkg::Sheet& after = written.sheets[i];
            for (pkg::Sheet& before : original.sheets) {
                if (before.title != after.title) continue;
                if (before.iso_dates && !has_formulas) original.read_sheet_part(before, true);
                if (!sheets_parsed && (before.iso_dates || profile_matters(before)))
                    written.read_sheet_part(after, before.iso_dates > 0);
                if (before.iso_dates) dates[i] = kept_dates(before, after, original.date1904);
                break;
            }
        }
        if (has_formulas) verdict = decide(original, written);

        // Document properties the save has no reason to change.
        PyObject* app = original.bytes("docProps/app.xml");
        if (app && written.find("docProps/app.xml")) {
            std::vector<std::string> before, after;
            for (const pkg::Sheet& s : original.sheets) before.push_back(s.title);
            for (const pkg::Sheet& s : written.sheets) after.push_back(s.title);
            if (before == after) {
                if (!same_bytes(app, written.bytes("docProps/app.xml")))
                    replacement["docProps/app.xml"].assign(PyBytes_AS_STRING(app), (size_t)PyBytes_GET_SIZE(app));
            } else {
                AppRewriter r(after);
                replacement["docProps/app.xml"] = rewrite(original, "docProps/app.xml", r);
            }
        }
        lost = dropped(original, written, rich_text);
        parts_added = keep_package_structure(original, written, replacement);
    }

    for (size_t i = 0; i < count; ++i) {
        const pkg::Sheet& s = written.sheets[i];
        // A formula the library wrote has an empty result, which is as good
        // as none: its sheet is rewritten only for what changes its meaning.
        bool needed = !fixes[i].empty() || !verdict.restore[i].empty() || !dates[i].empty();
        for (uint64_t k : verdict.clear[i]) {
            auto cell = s.cells.find(k);
            if (!needed && cell != s.cells.end() && cell->second.kind != Kind::formula) needed = true;
        }
        if (!needed || s.part.empty()) continue;
        SheetEdits edits{&fixes[i], &verdict.restore[i], &verdict.clear[i], &dates[i]};
        SheetRewriter r(edits);
        replacement[written.find(s.part)->name] = rewrite(written, s.part, r);
    }
    if (has_formulas && (!written.has_calc_pr || (written.calc_full_load != "1" && written.calc_full_load != "true"))) {
        WorkbookRewriter r;
        replacement[written.find(written.workbook_part)->name] = rewrite(written, written.workbook_part, r);
    }

    if (!replacement.empty() || parts_added) {
        written.read_all();
        written.close();
        pkg::write_zip(c, temp, written.entries, replacement);
    }
    if (!lost.empty()) {
        const std::string message = name + ": this save drops what openpyxl cannot keep: " + lost;
        check_status(PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1));
    }
}

}  // namespace tp::xl
