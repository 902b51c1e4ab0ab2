#include "module/formula.hpp"

#include <cstring>

namespace tp::formula {
namespace {

enum class T { word, string, quoted, bracket, error, array, spill, space, punct };

struct Token {
    T kind;
    size_t begin, end;
    char ch;  // punct: the character
};

bool word_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '\\' || c == '?' || c == '$' || c >= 0x80;
}

const char* const kErrors[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",     "#NAME?",     "#NUM!",
                               "#N/A",   "#GETTING_DATA", "#SPILL!", "#CALC!", "#FIELD!", "#BLOCKED!",
                               "#CONNECT!", "#BUSY!", "#UNKNOWN!", "#EXTERNAL!"};

bool ieq(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = (char)(x - 32);
        if (y >= 'a' && y <= 'z') y = (char)(y - 32);
        if (x != y) return false;
    }
    return true;
}

// Splits a formula into tokens. Malformed text (an unclosed string, say)
// ends in a last token that runs to the end; the caller then sees text it
// cannot resolve.
std::vector<Token> lex(const std::string& s, bool& bad) {
    std::vector<Token> out;
    const size_t n = s.size();
    size_t i = 0;
    if (i < n && s[i] == '=') ++i;
    auto closing = [&](size_t from, char quote) {
        size_t j = from + 1;
        while (j < n) {
            if (s[j] == quote) {
                if (j + 1 < n && s[j + 1] == quote) {
                    j += 2;
                    continue;
                }
                return j + 1;
            }
            ++j;
        }
        bad = true;
        return n;
    };
    while (i < n) {
        const unsigned char c = (unsigned char)s[i];
        const size_t b = i;
        if (c == '"') {
            i = closing(i, '"');
            out.push_back({T::string, b, i, 0});
        } else if (c == '\'') {
            i = closing(i, '\'');
            out.push_back({T::quoted, b, i, 0});
        } else if (c == '[') {
            int depth = 0;
            while (i < n) {
                if (s[i] == '\'' && depth > 0 && i + 1 < n) {  // escape inside structured references
                    i += 2;
                    continue;
                }
                if (s[i] == '[') ++depth;
                if (s[i] == ']' && --depth == 0) break;
                ++i;
            }
            if (i >= n) bad = true; else ++i;
            out.push_back({T::bracket, b, i, 0});
        } else if (c == '{') {
            while (i < n && s[i] != '}') i = s[i] == '"' ? closing(i, '"') : i + 1;
            if (i >= n) bad = true; else ++i;
            out.push_back({T::array, b, i, 0});
        } else if (c == '#') {
            size_t len = 0;
            for (const char* e : kErrors) {
                size_t l = std::strlen(e);
                if (n - i >= l && ieq(s.data() + i, e, l)) len = l > len ? l : len;
            }
            if (len) {
                i += len;
                out.push_back({T::error, b, i, 0});
            } else {
                ++i;
                out.push_back({T::spill, b, i, '#'});
            }
        } else if (word_char(c)) {
            while (i < n && word_char((unsigned char)s[i])) ++i;
            // The exponent of a number: 1E+3, 2.5e-7.
            if (i < n && (s[i] == '+' || s[i] == '-') && ((s[b] >= '0' && s[b] <= '9') || s[b] == '.') &&
                (s[i - 1] == 'E' || s[i - 1] == 'e')) {
                ++i;
                while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
            }
            out.push_back({T::word, b, i, 0});
        } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            while (i < n && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
            out.push_back({T::space, b, i, 0});
        } else {
            ++i;
            out.push_back({T::punct, b, i, (char)c});
        }
    }
    return out;
}

// Parts of a reference word: "$A$1", "A", "$12".
struct Part {
    bool col_abs = false, row_abs = false;
    uint32_t col = 0, row = 0;  // 0: absent
};

bool parse_part(const char* s, size_t len, Part& p) {
    size_t i = 0;
    if (i < len && s[i] == '$') { p.col_abs = true; ++i; }
    size_t letters = 0;
    uint32_t col = 0;
    while (i < len && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) {
        col = col * 26 + (uint32_t)((s[i] | 0x20) - 'a' + 1);
        ++i;
        if (++letters > 3) return false;
    }
    if (letters == 0 && p.col_abs) {  // "$12": the $ belonged to the row
        p.col_abs = false;
        p.row_abs = true;
    } else if (i < len && s[i] == '$') {
        if (letters == 0) return false;
        p.row_abs = true;
        ++i;
    }
    size_t digits = 0;
    uint32_t row = 0;
    while (i < len && s[i] >= '0' && s[i] <= '9') {
        row = row * 10 + (uint32_t)(s[i] - '0');
        ++i;
        if (++digits > 7) return false;
    }
    if (i != len || (letters == 0 && digits == 0)) return false;
    if (letters && (col > kMaxColumn)) return false;
    if (digits && (row < 1 || row > kMaxRow)) return false;
    if (p.row_abs && !digits) return false;
    p.col = letters ? col : 0;
    p.row = digits ? row : 0;
    return true;
}

bool cell_part(const Part& p) { return p.col && p.row; }

std::string upper(const std::string& s) {
    std::string u = s;
    for (char& ch : u)
        if (ch >= 'a' && ch <= 'z') ch = (char)(ch - 32);
    return u;
}

bool volatile_function(std::string name) {
    name = upper(name);
    for (const char* prefix : {"_XLFN._XLWS.", "_XLFN.", "_XLWS."}) {
        size_t l = std::strlen(prefix);
        if (name.compare(0, l, prefix) == 0) {
            name.erase(0, l);
            break;
        }
    }
    static const char* const kVolatile[] = {"INDIRECT", "OFFSET", "NOW", "TODAY", "RAND", "RANDBETWEEN",
                                            "RANDARRAY", "INFO", "CELL", "RTD", "GETPIVOTDATA", "WEBSERVICE",
                                            "SHEET", "SHEETS", "EVALUATE", "CALL", "REGISTER.ID"};
    for (const char* v : kVolatile)
        if (name == v) return true;
    // Cube functions read a data model, add-in functions anything.
    return name.compare(0, 4, "CUBE") == 0 || name.compare(0, 5, "_XLL.") == 0;
}

std::string unquote(const std::string& s, size_t b, size_t e) {
    std::string out;
    for (size_t i = b + 1; i + 1 < e; ++i) {
        out += s[i];
        if (s[i] == '\'' && s[i + 1] == '\'') ++i;
    }
    return out;
}

}  // namespace

bool parse_cell(const char* s, size_t len, uint32_t& row, uint32_t& column) {
    Part p;
    if (!parse_part(s, len, p) || !cell_part(p)) return false;
    row = p.row;
    column = p.col;
    return true;
}

Resolver::Resolver(std::vector<std::string> sheets, std::vector<DefinedName> names)
    : sheets_(std::move(sheets)), names_(std::move(names)) {}

int Resolver::sheet_index(const std::string& title) const {
    for (size_t i = 0; i < sheets_.size(); ++i)
        if (sheets_[i].size() == title.size() && ieq(sheets_[i].data(), title.data(), title.size())) return (int)i;
    return -1;
}

const DefinedName* Resolver::find_name(const std::string& name, int sheet) const {
    const DefinedName* global = nullptr;
    for (const DefinedName& d : names_) {
        if (d.name.size() != name.size() || !ieq(d.name.data(), name.data(), name.size())) continue;
        if (d.sheet == sheet) return &d;
        if (d.sheet == -1) global = &d;
    }
    return global;
}

Refs Resolver::refs(const std::string& text, int sheet) const {
    Refs out;
    scan(text, sheet, out, 0);
    return out;
}

void Resolver::scan(const std::string& s, int sheet, Refs& out, int depth) const {
    if (depth > 16) {  // names defined through each other without end
        out.unresolved = true;
        return;
    }
    bool bad = false;
    std::vector<Token> t = lex(s, bad);
    if (bad) out.unresolved = true;
    const size_t n = t.size();
    auto text_of = [&](size_t k) { return s.substr(t[k].begin, t[k].end - t[k].begin); };
    auto punct = [&](size_t k, char ch) { return k < n && t[k].kind == T::punct && t[k].ch == ch; };
    auto next_solid = [&](size_t k) {
        while (k < n && t[k].kind == T::space) ++k;
        return k;
    };

    size_t i = 0;
    while (i < n) {
        // An optional sheet prefix: 'Name'!, Name!, First:Last!, [1]Name!, [1]!.
        int first = sheet, last = sheet;
        bool prefixed = false, external = false;
        std::string sheet_spec;
        if (t[i].kind == T::quoted && punct(i + 1, '!')) {
            sheet_spec = unquote(s, t[i].begin, t[i].end);
            prefixed = true;
            i += 2;
        } else if (t[i].kind == T::bracket && punct(i + 1, '!')) {
            external = true;
            i += 2;
        } else if (t[i].kind == T::bracket && i + 2 < n && t[i + 1].kind == T::word && punct(i + 2, '!')) {
            external = true;
            i += 3;
        } else if (t[i].kind == T::word && punct(i + 1, '!')) {
            sheet_spec = text_of(i);
            prefixed = true;
            i += 2;
        } else if (t[i].kind == T::word && punct(i + 1, ':') && i + 3 < n && t[i + 2].kind == T::word &&
                   punct(i + 3, '!')) {
            sheet_spec = text_of(i) + ":" + text_of(i + 2);
            prefixed = true;
            i += 4;
        }
        if (external || (prefixed && !sheet_spec.empty() && sheet_spec[0] == '[')) {
            out.unresolved = true;  // another workbook
            continue;
        }
        if (prefixed) {
            size_t colon = sheet_spec.find(':');
            if (colon == std::string::npos) {
                first = last = sheet_index(sheet_spec);
            } else {
                first = sheet_index(sheet_spec.substr(0, colon));
                last = sheet_index(sheet_spec.substr(colon + 1));
                if (first > last) std::swap(first, last);
                if (first < 0) first = last;  // a 3-D range with a missing end sheet reads no cell of it
            }
            if (i >= n) break;
        }
        const Token& tok = t[i];
        if (tok.kind == T::word) {
            // An area read; a spill operator (#) after it reads whatever its
            // formula spills, taken as the rest of the sheet from there.
            auto take_area = [&](Area area) {
                if (i < n && t[i].kind == T::spill) {
                    area.r2 = kMaxRow;
                    area.c2 = kMaxColumn;
                    ++i;
                }
                if (first >= 0) out.areas.push_back(area);
            };
            const std::string w = text_of(i);
            Part a;
            const bool part = parse_part(w.data(), w.size(), a);
            // A range of two parts of the same kind: A1:B2, A:C, 1:3.
            if (part && punct(i + 1, ':') && i + 2 < n && t[i + 2].kind == T::word) {
                const std::string w2 = text_of(i + 2);
                Part b;
                if (parse_part(w2.data(), w2.size(), b) && (bool)a.col == (bool)b.col && (bool)a.row == (bool)b.row) {
                    Area area{first, last, a.row ? a.row : 1, a.col ? a.col : 1, b.row ? b.row : kMaxRow,
                              b.col ? b.col : kMaxColumn};
                    if (area.r1 > area.r2) std::swap(area.r1, area.r2);
                    if (area.c1 > area.c2) std::swap(area.c1, area.c2);
                    i += 3;
                    take_area(area);
                    continue;
                }
            }
            if (part && cell_part(a)) {
                ++i;
                take_area(Area{first, last, a.row, a.col, a.row, a.col});
                continue;
            }
            const unsigned char c0 = (unsigned char)w[0];
            if ((c0 >= '0' && c0 <= '9') || c0 == '.') {  // a number
                ++i;
                continue;
            }
            const size_t after = next_solid(i + 1);
            if (punct(after, '(')) {
                if (!prefixed && volatile_function(w)) out.unresolved = true;
                // A name defined as a function (a LAMBDA) is read through its definition.
                if (const DefinedName* d = find_name(w, prefixed ? first : sheet)) scan(d->text, sheet, out, depth + 1);
                ++i;
                continue;
            }
            const std::string uw = upper(w);
            if (!prefixed && (uw == "TRUE" || uw == "FALSE")) {
                ++i;
                continue;
            }
            if (i + 1 < n && t[i + 1].kind == T::bracket) {  // Table[Column]
                out.unresolved = true;
                i += 2;
                continue;
            }
            if (prefixed && first < 0) {  // a name of a sheet that does not exist
                ++i;
                continue;
            }
            if (const DefinedName* d = find_name(w, prefixed ? first : sheet)) {
                scan(d->text, sheet, out, depth + 1);
                ++i;
                if (i < n && t[i].kind == T::spill) out.unresolved = true;
            } else {
                out.unresolved = true;  // a table, a LET or LAMBDA variable, or no name at all
                ++i;
            }
            continue;
        }
        if (tok.kind == T::bracket) {  // [#This Row] and the like
            out.unresolved = true;
        } else if (tok.kind == T::punct && tok.ch == ':') {
            out.unresolved = true;  // a range built from function results or names
        } else if (tok.kind == T::spill) {
            out.unresolved = true;
        }
        ++i;
    }
}

namespace {

std::string column_letters(uint32_t col) {
    std::string out;
    while (col) {
        --col;
        out.insert(out.begin(), (char)('A' + col % 26));
        col /= 26;
    }
    return out;
}

bool shift_part(const std::string& w, long drow, long dcol, std::string& out) {
    Part p;
    if (!parse_part(w.data(), w.size(), p)) return false;
    if (p.col) {
        long col = p.col_abs ? (long)p.col : (long)p.col + dcol;
        if (col < 1 || col > (long)kMaxColumn) return false;
        if (p.col_abs) out += '$';
        out += column_letters((uint32_t)col);
    }
    if (p.row) {
        long row = p.row_abs ? (long)p.row : (long)p.row + drow;
        if (row < 1 || row > (long)kMaxRow) return false;
        if (p.row_abs) out += '$';
        out += std::to_string(row);
    }
    return true;
}

}  // namespace

bool translate(const std::string& text, long drow, long dcol, std::string& out) {
    bool bad = false;
    std::vector<Token> t = lex(text, bad);
    out.clear();
    if (bad) return false;
    const size_t n = t.size();
    auto punct = [&](size_t k, char ch) { return k < n && t[k].kind == T::punct && t[k].ch == ch; };
    for (size_t i = 0; i < n; ++i) {
        const std::string w = text.substr(t[i].begin, t[i].end - t[i].begin);
        if (t[i].kind != T::word || punct(i + 1, '!') || (i + 1 < n && t[i + 1].kind == T::bracket) ||
            (punct(i + 1, '(')) || (i > 0 && t[i - 1].kind == T::bracket)) {
            out += w;
            continue;
        }
        // A word that is half of a range takes the kind of its partner.
        Part p;
        if (!parse_part(w.data(), w.size(), p)) {
            out += w;
            continue;
        }
        const bool range_start = punct(i + 1, ':') && i + 2 < n && t[i + 2].kind == T::word;
        const bool range_end = i >= 2 && punct(i - 1, ':') && t[i - 2].kind == T::word;
        if (!cell_part(p) && !range_start && !range_end) {
            out += w;  // a name such as "A" or a number
            continue;
        }
        const unsigned char c0 = (unsigned char)w[0];
        if (!cell_part(p) && p.row && !p.row_abs && c0 >= '0' && c0 <= '9' && !range_start && !range_end) {
            out += w;
            continue;
        }
        if (!shift_part(w, drow, dcol, out)) return false;
    }
    return true;
}

}  // namespace tp::formula
