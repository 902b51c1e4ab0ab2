// The pass over a workbook file that the library has just written, before
// it replaces the target: what the library lost or changed on the way
// through is put back from the file the workbook was read from, and what it
// cannot carry is said in one warning.
#pragma once

#include "module/function.hpp"
#include "module/package.hpp"

#include <string>

namespace tp::xl {

// Holds back the library's own warnings while it opens or stores a
// workbook: they are generic ("... extension is not supported and will be
// removed") and name no file; the save's one warning says what they stood
// for. Warnings from elsewhere reach the caller as usual.
class LibraryWarnings {
public:
    explicit LibraryWarnings(const Call& c);
    ~LibraryWarnings();
    LibraryWarnings(const LibraryWarnings&) = delete;
    LibraryWarnings& operator=(const LibraryWarnings&) = delete;
    // Ends the hold and passes on the warnings that did not come from the library.
    void finish();

private:
    void leave();
    const Call& c_;
    Ref manager_, log_;
};

// Repairs the file at `temp`, which the library wrote from `book`:
//  * every number reads back as exactly the value `book` held (the library
//    writes 16 significant digits);
//  * with `source` (the file `book` was read from, or null), each formula
//    cell keeps the result stored for it in `source` unless a cell it reads,
//    directly or through other formulas and names, now holds different
//    content; other formula results are removed and the workbook asks office
//    programs to recalculate on opening;
//  * document properties (docProps/app.xml, custom properties) are those of
//    `source`, sheet titles brought up to date;
//  * the package keeps the parts, content types and relationships that the
//    library copied or lost (see keep_package_structure).
// Then warns once (UserWarning, naming `shown`) of what the library dropped
// from `source` (with `rich_text` false, the workbook was opened without rich
// text, so the formatting of its text runs is among that). Only parts that need it are rewritten; a file that needs
// nothing is left as the library wrote it.
void keep_what_the_save_did_not_change(const Call& c, PyObject* book, PyObject* source, PyObject* temp,
                                       PyObject* shown, bool rich_text);

// What the library dropped from `original` on its way to `written`, in the
// shape "Sheet: 1 sparkline group, 2 text boxes; workbook: 1 slicer cache";
// empty when nothing was dropped.
std::string dropped(pkg::Package& original, pkg::Package& written, bool rich_text);
// Whether telling what a save dropped from sheet `before` of the original
// needs the profile of the written sheet (else its relationships suffice).
bool profile_matters(const pkg::Sheet& before);

}  // namespace tp::xl
