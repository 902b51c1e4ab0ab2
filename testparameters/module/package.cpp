#include "module/package.hpp"

#include "module/xml.hpp"

#include <cstdlib>

namespace tp::pkg {

[[noreturn]] void fail(const std::string& shown, const std::string& part, const char* what) {
    PyErr_Format(PyExc_ValueError, "%s: %s: %s", shown.c_str(), part.c_str(), what);
    raise();
}

namespace {

std::string lower(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = (char)(ch + 32);
    return s;
}

bool ends_with(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &size);
    if (!s) raise();
    return std::string(s, (size_t)size);
}

// Parses the part's bytes with `h`; a part the package lacks gives no events.
void parse_part(Package& p, const std::string& part, xml::Handler& h, bool namespaces = true) {
    PyObject* data = p.bytes(part);
    if (!data) return;
    xml::parse(PyBytes_AS_STRING(data), (size_t)PyBytes_GET_SIZE(data), h, namespaces, p.shown + ": " + part);
}

struct RelsReader : xml::Handler {
    std::string source;
    std::vector<Relationship> out;
    void start(const char* name, const char** a) override {
        if (!xml::is(name, "Relationship")) return;
        Relationship r;
        const char* id = xml::attribute(a, "Id");
        const char* type = xml::attribute(a, "Type");
        const char* target = xml::attribute(a, "Target");
        const char* mode = xml::attribute(a, "TargetMode");
        r.id = id ? id : "";
        r.type = type ? type : "";
        r.external = mode && std::strcmp(mode, "External") == 0;
        r.target = target ? (r.external ? std::string(target) : resolve(source, target)) : std::string();
        out.push_back(std::move(r));
    }
    void end(const char*) override {}
};

struct WorkbookReader : xml::Handler {
    Package& p;
    std::vector<std::pair<std::string, std::string>> sheets;  // title, relationship id
    std::string name_text;
    bool in_name = false;
    formula::DefinedName current;
    explicit WorkbookReader(Package& pkg) : p(pkg) {}
    void start(const char* name, const char** a) override {
        const char* l = xml::local(name);
        if (std::strcmp(l, "sheet") == 0) {
            const char* title = xml::attribute(a, "name");
            const char* id = xml::attribute(a, "id", true);
            sheets.emplace_back(title ? title : "", id ? id : "");
        } else if (std::strcmp(l, "definedName") == 0) {
            in_name = true;
            name_text.clear();
            const char* n = xml::attribute(a, "name");
            const char* local_id = xml::attribute(a, "localSheetId");
            current.name = n ? n : "";
            current.sheet = local_id ? std::atoi(local_id) : -1;
        } else if (std::strcmp(l, "workbookPr") == 0) {
            const char* d = xml::attribute(a, "date1904");
            p.date1904 = d && (std::strcmp(d, "1") == 0 || std::strcmp(d, "true") == 0);
        } else if (std::strcmp(l, "calcPr") == 0) {
            p.has_calc_pr = true;
            const char* full = xml::attribute(a, "fullCalcOnLoad");
            p.calc_full_load = full ? full : "";
        }
    }
    void end(const char* name) override {
        if (in_name && xml::is(name, "definedName")) {
            in_name = false;
            current.text = name_text;
            p.names.push_back(current);
        }
    }
    void text(const char* s, int len) override {
        if (in_name) name_text.append(s, (size_t)len);
    }
};

struct SharedStringsReader : xml::Handler {
    Package& p;
    std::vector<std::string>& out;
    int depth = 0, phonetic = 0;
    bool in_t = false;
    bool plain = false, runs = false;  // the item being read has a text of its own, runs
    explicit SharedStringsReader(Package& pkg) : p(pkg), out(pkg.shared_strings) {}
    void start(const char* name, const char**) override {
        const char* l = xml::local(name);
        ++depth;
        if (std::strcmp(l, "si") == 0 && depth == 2) {
            out.emplace_back();
            plain = runs = false;
        } else if (std::strcmp(l, "rPh") == 0) {
            ++phonetic;
        } else if (std::strcmp(l, "t") == 0 && !phonetic) {
            in_t = true;
            if (depth == 3) plain = true;
        } else if (std::strcmp(l, "r") == 0 && depth == 3) {
            runs = true;
        } else if (std::strcmp(l, "rPr") == 0 && depth == 4) {
            ++p.formatted_runs;
        }
    }
    void end(const char* name) override {
        const char* l = xml::local(name);
        if (std::strcmp(l, "si") == 0 && depth == 2 && plain && runs) ++p.plain_before_runs;
        --depth;
        if (std::strcmp(l, "rPh") == 0) --phonetic;
        else if (std::strcmp(l, "t") == 0) in_t = false;
    }
    void text(const char* s, int len) override {
        if (in_t && !out.empty()) out.back().append(s, (size_t)len);
    }
};

// Nouns for the items of the extension lists of a sheet, by the ext's uri.
const char* extension_item(const std::string& uri, const char* local_name, const char** a) {
    const std::string u = lower(uri);
    if (u == "{05c60535-1f16-4fd2-b633-f4f36f0b64e0}")
        return std::strcmp(local_name, "sparklineGroup") == 0 ? "sparkline group" : nullptr;
    if (u == "{78c0d931-6437-407d-a8ee-f0aad7539e65}") {
        if (std::strcmp(local_name, "cfRule") != 0) return nullptr;
        const char* type = xml::attribute(a, "type");
        if (type && std::strcmp(type, "dataBar") == 0) return "data bar extension";
        if (type && std::strcmp(type, "iconSet") == 0) return "icon set extension";
        return "conditional format extension";
    }
    if (u == "{cce6a557-97bc-4b89-adb6-d9c93caab3df}")
        return std::strcmp(local_name, "dataValidation") == 0 ? "data validation extension" : nullptr;
    if (u == "{a8765ba9-456a-4dab-b4f3-acf838c121de}" || u == "{3a4cf648-6aed-40f4-86ff-dc5316d8aed3}")
        return std::strcmp(local_name, "slicer") == 0 ? "slicer" : nullptr;
    if (u == "{7e03d99c-dc04-49d9-9315-930204a7b6e9}")
        return std::strcmp(local_name, "timelineRef") == 0 ? "timeline" : nullptr;
    if (u == "{bbe1a952-aa13-448e-aadc-164f8a28a991}")
        return std::strcmp(local_name, "slicerCache") == 0 ? "slicer" : nullptr;
    return nullptr;
}

struct SheetReader : xml::Handler {
    Package& p;
    Sheet& sheet;
    int depth = 0;
    // the cell being read
    bool in_cell = false, in_v = false, in_f = false, in_is = false, in_t = false;
    int phonetic = 0;
    bool has_v = false, has_f = false, has_is = false;
    uint32_t row = 0, column = 0;
    std::string t, v, f, is, f_type, f_ref, f_si;
    // shared formulas: masters by si, and the cells that use them
    struct Master { uint32_t row, column; std::string text; };
    std::unordered_map<std::string, Master> masters;
    std::vector<std::pair<uint64_t, std::string>> shared_users;
    std::string top;  // the top-level element being read
    // extension lists
    int ext_depth = 0;
    std::string ext_uri;
    bool ext_counted = false;

    bool want_cells = true;

    SheetReader(Package& pkg, Sheet& s, bool cells) : p(pkg), sheet(s), want_cells(cells) {}
    bool wants_text() const override { return want_cells; }

    void start(const char* name, const char** a) override {
        ++depth;
        const char* l = xml::local(name);
        if (depth == 2) {
            ++sheet.profile.elements[l];
            top = l;
        }
        if (depth == 3) {
            if (top == "controls" && std::strcmp(l, "control") == 0) ++sheet.profile.items["form control"];
            if (top == "oleObjects" && std::strcmp(l, "oleObject") == 0) ++sheet.profile.items["embedded object"];
            if (top == "customSheetViews") ++sheet.profile.items["custom view"];
            if (top == "scenarios" && std::strcmp(l, "scenario") == 0) ++sheet.profile.items["scenario"];
            if (top == "cellWatches") ++sheet.profile.items["cell watch"];
            if (top == "protectedRanges") ++sheet.profile.items["protected range"];
        }
        if (ext_depth) {
            if (const char* noun = extension_item(ext_uri, l, a)) {
                ++sheet.profile.items[noun];
                ext_counted = true;
            }
            return;
        }
        if (depth == 3 && std::strcmp(l, "ext") == 0) {
            const char* uri = xml::attribute(a, "uri");
            ext_uri = uri ? uri : "";
            ext_depth = depth;
            ext_counted = false;
            return;
        }
        if (std::strcmp(l, "row") == 0 && depth == 3) {
            const char* r = xml::attribute(a, "r");
            row = r ? (uint32_t)std::strtoul(r, nullptr, 10) : row + 1;
            column = 0;
        } else if (std::strcmp(l, "c") == 0 && depth == 4) {
            if (xml::attribute(a, "vm")) ++sheet.profile.items["rich value cell"];
            if (xml::attribute(a, "cm")) ++sheet.profile.items["dynamic array formula"];
            const char* type = xml::attribute(a, "t");
            if (type && type[0] == 'd' && !type[1]) ++sheet.iso_dates;
            if (!want_cells) return;
            in_cell = true;
            const char* r = xml::attribute(a, "r");
            uint32_t rr = 0, cc = 0;
            if (r && formula::parse_cell(r, std::strlen(r), rr, cc)) {
                row = rr;
                column = cc;
            } else {
                ++column;
            }
            t = type ? type : "";
            v.clear(); f.clear(); is.clear(); f_type.clear(); f_ref.clear(); f_si.clear();
            has_v = has_f = has_is = false;
        } else if (in_cell && depth == 5) {
            if (std::strcmp(l, "v") == 0) {
                in_v = has_v = true;
            } else if (std::strcmp(l, "f") == 0) {
                in_f = has_f = true;
                const char* ft = xml::attribute(a, "t");
                const char* ref = xml::attribute(a, "ref");
                const char* si = xml::attribute(a, "si");
                f_type = ft ? ft : "";
                f_ref = ref ? ref : "";
                f_si = si ? si : "";
            } else if (std::strcmp(l, "is") == 0) {
                in_is = has_is = true;
            }
        } else if (in_is) {
            if (std::strcmp(l, "rPh") == 0) ++phonetic;
            else if (std::strcmp(l, "t") == 0 && !phonetic) in_t = true;
        }
    }

    void end(const char* name) override {
        const char* l = xml::local(name);
        if (ext_depth) {
            if (depth == ext_depth) {
                if (!ext_counted) ++sheet.profile.items["extension list"];
                ext_depth = 0;
            }
            --depth;
            return;
        }
        if (in_cell && depth == 4) {
            finish_cell();
            in_cell = false;
        } else if (depth == 5) {
            in_v = in_f = in_is = false;
        } else if (in_is) {
            if (std::strcmp(l, "rPh") == 0) --phonetic;
            else if (std::strcmp(l, "t") == 0) in_t = false;
        }
        --depth;
    }

    void text(const char* s, int len) override {
        if (in_v) v.append(s, (size_t)len);
        else if (in_f) f.append(s, (size_t)len);
        else if (in_t) is.append(s, (size_t)len);
    }

    std::string shared(const std::string& index) const {
        char* end = nullptr;
        unsigned long i = std::strtoul(index.c_str(), &end, 10);
        if (end == index.c_str() || i >= p.shared_strings.size()) return std::string();
        return p.shared_strings[i];
    }

    void typed(Kind& kind, std::string& out) const {
        if (t == "s") { kind = Kind::text; out = shared(v); }
        else if (t == "inlineStr") { kind = Kind::text; out = has_is ? is : v; }
        else if (t == "str") { kind = Kind::text; out = v; }
        else if (t == "b") { kind = Kind::boolean; out = (v == "1" || v == "true") ? "1" : "0"; }
        else if (t == "e") { kind = Kind::error; out = v; }
        else if (t == "d") { kind = Kind::date; out = v; }
        else { kind = Kind::number; out = v; }
    }

    void finish_cell() {
        if (!row || !column || row > formula::kMaxRow || column > formula::kMaxColumn) return;
        Cell cell;
        const uint64_t k = key(row, column);
        if (has_f) {
            cell.kind = Kind::formula;
            cell.formula_type = f_type == "shared" ? 's' : f_type == "array" ? 'a' : f_type == "dataTable" ? 'd' : 0;
            cell.value = f;
            if (cell.formula_type == 'a') cell.block = f_ref;
            if (cell.formula_type == 's') {
                if (!f.empty()) masters[f_si] = Master{row, column, f};
                else shared_users.emplace_back(k, f_si);
            }
            if (cell.formula_type == 'd') cell.value = "\x01table " + f_ref;
            const bool text_result = t == "str" || t == "s" || t == "inlineStr";
            if (has_v && (!v.empty() || text_result)) {
                cell.has_result = true;
                typed(cell.result_kind, cell.result);
            }
        } else if (has_v || has_is) {
            typed(cell.kind, cell.value);
            if (cell.kind == Kind::number && cell.value.empty()) cell.kind = Kind::none;
        }
        if (cell.kind == Kind::none) return;
        sheet.cells.emplace(k, std::move(cell));
    }

    void finish() {
        for (auto& use : shared_users) {
            Cell& cell = sheet.cells[use.first];
            auto m = masters.find(use.second);
            std::string moved;
            if (m != masters.end() &&
                formula::translate(m->second.text, (long)key_row(use.first) - (long)m->second.row,
                                   (long)key_column(use.first) - (long)m->second.column, moved))
                cell.value = moved;
            else
                cell.value = "\x01shared " + use.second;  // unknown: counts as different
        }
    }
};

}  // namespace

std::string rels_part(const std::string& part) {
    size_t slash = part.rfind('/');
    if (slash == std::string::npos) return "_rels/" + part + ".rels";
    return part.substr(0, slash) + "/_rels/" + part.substr(slash + 1) + ".rels";
}

std::string resolve(const std::string& source, const std::string& target) {
    std::string path;
    if (!target.empty() && target[0] == '/') {
        path = target.substr(1);
    } else {
        size_t slash = source.rfind('/');
        path = (slash == std::string::npos ? std::string() : source.substr(0, slash + 1)) + target;
    }
    std::vector<std::string> parts;
    size_t b = 0;
    while (b <= path.size()) {
        size_t e = path.find('/', b);
        if (e == std::string::npos) e = path.size();
        std::string seg = path.substr(b, e - b);
        if (seg == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!seg.empty() && seg != ".") {
            parts.push_back(seg);
        }
        b = e + 1;
    }
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out;
}

bool same_content(const Cell* a, const Cell* b) {
    const bool ea = !a || a->kind == Kind::none, eb = !b || b->kind == Kind::none;
    if (ea || eb) return ea && eb;
    if (a->kind != b->kind) return false;
    if (a->value == b->value) return true;
    if (a->kind == Kind::number) {
        char *end_a = nullptr, *end_b = nullptr;
        double x = std::strtod(a->value.c_str(), &end_a), y = std::strtod(b->value.c_str(), &end_b);
        return end_a != a->value.c_str() && end_b != b->value.c_str() && x == y;
    }
    return false;
}

Package::Package(const Call& call, PyObject* path, const std::string& shown_name) : c(call), shown(shown_name) {
    const Names& n = c.n();
    Ref zipfile = check(PyImport_Import(n.mod_zipfile));
    zip_ = call_method(zipfile, n.ZipFile, path);
    Ref infos = call_method(zip_, n.infolist);
    Ref it = check(PyObject_GetIter(infos));
    while (Ref info = Ref::steal(PyIter_Next(it))) {
        Entry e;
        e.name = utf8(getattr(info, n.filename));
        e.info = std::move(info);
        index_.emplace(lower(e.name), entries.size());
        entries.push_back(std::move(e));
    }
    if (PyErr_Occurred()) raise();
}

Package::~Package() {
    if (!zip_) return;
    PendingError pending;
    PyObject* r = PyObject_CallMethodObjArgs(zip_, c.n().close, nullptr);
    Py_XDECREF(r);
}

void Package::close() {
    if (zip_) call_method(zip_, c.n().close);
    zip_.reset();
}

Entry* Package::find(const std::string& part) {
    auto it = index_.find(lower(part));
    return it == index_.end() ? nullptr : &entries[it->second];
}

PyObject* Package::bytes(const std::string& part) {
    Entry* e = find(part);
    if (!e) return nullptr;
    if (!e->data) {
        Ref data = call_method(zip_, c.n().read, e->info);
        if (!PyBytes_Check(data)) raise(PyExc_TypeError, "zipfile gave no bytes");
        e->data = std::move(data);
    }
    return e->data;
}

void Package::read_all() {
    for (Entry& e : entries) bytes(e.name);
}

void Package::add(Entry entry) {
    index_.emplace(lower(entry.name), entries.size());
    entries.push_back(std::move(entry));
}

std::vector<Relationship> Package::relationships(const std::string& part) {
    RelsReader h;
    h.source = part;
    parse_part(*this, rels_part(part), h);
    return std::move(h.out);
}

void Package::read_workbook() {
    for (const Relationship& r : relationships("")) {
        if (!r.external && ends_with(r.type, "/officeDocument")) {
            workbook_part = r.target;
            break;
        }
    }
    if (workbook_part.empty() || !find(workbook_part)) fail(shown, "_rels/.rels", "no workbook part");
    workbook_rels = relationships(workbook_part);
    WorkbookReader h(*this);
    parse_part(*this, workbook_part, h);
    for (auto& s : h.sheets) {
        Sheet sheet;
        sheet.title = s.first;
        for (const Relationship& r : workbook_rels)
            if (r.id == s.second && !r.external) sheet.part = r.target;
        sheets.push_back(std::move(sheet));
    }
    for (const Relationship& r : workbook_rels)
        if (!r.external && ends_with(r.type, "/sharedStrings")) read_shared_strings(r.target);
}

void Package::read_shared_strings(const std::string& part) {
    SharedStringsReader h(*this);
    parse_part(*this, part, h);
}

void Package::read_sheets(bool cells, bool parse) {
    for (Sheet& sheet : sheets) {
        if (sheet.part.empty() || !find(sheet.part)) continue;
        sheet.rels = relationships(sheet.part);
        if (parse) read_sheet_part(sheet, cells);
    }
}

void Package::read_sheet_part(Sheet& sheet, bool cells) {
    if (sheet.part.empty() || !find(sheet.part)) return;
    sheet.cells.clear();
    sheet.profile = SheetProfile();
    sheet.iso_dates = 0;
    // A cell takes some 40 bytes of XML or more: room for them at once.
    if (cells) sheet.cells.reserve((size_t)PyBytes_GET_SIZE(bytes(sheet.part)) / 40);
    // Names as written: the reader goes by local names alone, and the parse
    // is quicker without resolving a namespace for every cell.
    SheetReader h(*this, sheet, cells);
    parse_part(*this, sheet.part, h, false);
    h.finish();
}

void write_zip(const Call& c, PyObject* path, std::vector<Entry>& entries,
               const std::unordered_map<std::string, std::string>& replacement) {
    const Names& n = c.n();
    Ref zipfile = check(PyImport_Import(n.mod_zipfile));
    Ref zip = call_method(zipfile, n.ZipFile, path, n.write_mode);
    try {
        for (Entry& e : entries) {
            auto r = replacement.find(e.name);
            if (r != replacement.end()) {
                Ref data = check(PyBytes_FromStringAndSize(r->second.data(), (Py_ssize_t)r->second.size()));
                call_method(zip, n.writestr, e.info, data);
            } else {
                call_method(zip, n.writestr, e.info, e.data);
            }
        }
    } catch (...) {
        PendingError pending;
        PyObject* r = PyObject_CallMethodObjArgs(zip, n.close, nullptr);
        Py_XDECREF(r);
        throw;
    }
    call_method(zip, n.close);
}

}  // namespace tp::pkg
