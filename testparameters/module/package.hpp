// A workbook package (a zip of XML parts) as the saving pass reads it: its
// entries through Python's zipfile, the workbook part with its sheets and
// defined names, the shared strings, and the cells of each sheet resolved
// to their content.
#pragma once

#include "module/formula.hpp"
#include "module/function.hpp"

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace tp::pkg {

// Position of a cell: row in the high bits, column in the low 16.
inline uint64_t key(uint32_t row, uint32_t column) { return ((uint64_t)row << 16) | column; }
inline uint32_t key_row(uint64_t k) { return (uint32_t)(k >> 16); }
inline uint32_t key_column(uint64_t k) { return (uint32_t)(k & 0xffff); }

enum class Kind : unsigned char { none, number, text, boolean, error, date, formula };

struct Cell {
    Kind kind = Kind::none;
    // number: its text; text; boolean "0"/"1"; error; date text; formula: its text
    std::string value;
    // formula cells: the kind of formula ('s' shared, 'a' array, 'd' data
    // table, 0 plain), the block an array formula fills, and the stored result
    char formula_type = 0;
    std::string block;
    bool has_result = false;
    Kind result_kind = Kind::none;
    std::string result;
};
using Cells = std::unordered_map<uint64_t, Cell>;

// Whether two cells hold the same content (numbers compared as numbers).
bool same_content(const Cell* a, const Cell* b);

struct Relationship {
    std::string id, type, target;  // target: the part's name in the package, or the external target
    bool external = false;
};

// What a sheet part holds beside its cells, for telling what a save dropped:
// its top-level elements by local name, and its extension lists.
struct SheetProfile {
    std::map<std::string, int> elements;
    std::map<std::string, int> items;  // extension items, controls, objects, by noun
};

struct Sheet {
    std::string title, part;
    std::vector<Relationship> rels;
    Cells cells;
    SheetProfile profile;
    int iso_dates = 0;   // cells of type "d" (ISO 8601 text)
    int dates_lost = 0;  // written sheets: of those, the ones stored as numbers
};

struct Entry {
    std::string name;
    Ref info;  // the ZipInfo
    Ref data;  // bytes, once read
};

class Package {
public:
    Package(const Call& c, PyObject* path, const std::string& shown);
    ~Package();
    Package(const Package&) = delete;
    Package& operator=(const Package&) = delete;

    // The entry of that part name (compared without case), or null.
    Entry* find(const std::string& part);
    // The bytes of a part (read once); null when the package has none.
    PyObject* bytes(const std::string& part);
    // Relationships of a part, targets resolved to part names.
    std::vector<Relationship> relationships(const std::string& part);
    // Reads workbook.xml, its sheets (title, part) and defined names.
    void read_workbook();
    // Reads the relationships of every sheet; with `parse` its profile too,
    // and with `cells` its cells.
    void read_sheets(bool cells = true, bool parse = true);
    // Reads the profile of a sheet (of `sheets`), and with `cells` its cells.
    void read_sheet_part(Sheet& sheet, bool cells);
    // Reads every entry's bytes (before the zip is rewritten).
    void read_all();
    // A new entry (with its bytes), written after the others by write_zip.
    void add(Entry entry);
    void close();

    const Call& c;
    std::string shown;  // names the file in messages
    std::vector<Entry> entries;
    std::string workbook_part;
    std::vector<Relationship> workbook_rels;
    std::vector<Sheet> sheets;
    std::vector<formula::DefinedName> names;
    std::vector<std::string> shared_strings;
    // Runs of the shared strings that carry formatting, and strings whose own
    // text comes before runs (the library's rich-text reader keeps only that
    // text of them).
    int formatted_runs = 0;
    int plain_before_runs = 0;
    std::string calc_full_load;  // fullCalcOnLoad of calcPr as written ("" when absent)
    bool has_calc_pr = false;
    bool date1904 = false;  // workbookPr: dates count from 1904

private:
    void read_shared_strings(const std::string& part);
    Ref zip_;
    std::unordered_map<std::string, size_t> index_;
};

// The part name `target` refers to from `source` (relative to its folder, or
// from the root when it starts with "/").
std::string resolve(const std::string& source, const std::string& target);
std::string rels_part(const std::string& part);

// Writes `entries` as a new zip at `path`, in their order, each with its
// ZipInfo (name, compression, date) and its bytes (or `replacement` when set).
void write_zip(const Call& c, PyObject* path, std::vector<Entry>& entries,
               const std::unordered_map<std::string, std::string>& replacement);

// Message helper: ValueError "<file>: <part>: <what>".
[[noreturn]] void fail(const std::string& shown, const std::string& part, const char* what);

}  // namespace tp::pkg
