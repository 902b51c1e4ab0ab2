// The cells a formula reads. A small tokenizer for the formula grammar of
// workbook files (strings with "" escapes, quoted sheet names with ''
// escapes, 3-D references Sheet1:Sheet3!A1, $, cells, ranges, whole columns
// and rows, defined names, functions, external [1] references, structured
// Table[...] references, error literals, array constants, the spill #) that
// finds a superset of the cells a formula reads. What cannot be known from
// the text alone (volatile functions such as INDIRECT and OFFSET, other
// workbooks, structured references, names that are not defined, ranges built
// at run time) makes the formula "unresolved".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tp::formula {

constexpr uint32_t kMaxRow = 1048576;
constexpr uint32_t kMaxColumn = 16384;

// A block of cells in the sheets `first` to `last` (positions in the
// workbook's sheet order).
struct Area {
    int first, last;
    uint32_t r1, c1, r2, c2;
};

struct Refs {
    std::vector<Area> areas;
    bool unresolved = false;
};

struct DefinedName {
    std::string name;
    int sheet = -1;  // position of the sheet it belongs to; -1 for the workbook
    std::string text;
};

class Resolver {
public:
    Resolver(std::vector<std::string> sheets, std::vector<DefinedName> names);
    // The cells that `text` (a formula without its "=") read in the sheet at
    // position `sheet` reads.
    Refs refs(const std::string& text, int sheet) const;
    // Position of the sheet of that title (compared as office programs do,
    // ASCII letters without case), or -1.
    int sheet_index(const std::string& title) const;

private:
    void scan(const std::string& text, int sheet, Refs& out, int depth) const;
    const DefinedName* find_name(const std::string& name, int sheet) const;

    std::vector<std::string> sheets_;
    std::vector<DefinedName> names_;
};

// "A1"-style reference to (row, column), 1-based; false when it is none.
bool parse_cell(const char* s, size_t len, uint32_t& row, uint32_t& column);

// The formula of a shared-formula cell: `text` as written for the cell at
// (row, column), moved to the cell at (row + drow, column + dcolumn), its
// relative references shifted as office programs do. False when a moved
// reference would leave the sheet.
bool translate(const std::string& text, long drow, long dcolumn, std::string& out);

}  // namespace tp::formula
