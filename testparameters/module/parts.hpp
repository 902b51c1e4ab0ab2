// The package around the cells, after the library wrote it: parts it copied
// from the original keep their content types and relationships, custom
// document properties it did not write come back, and no relationship is
// left pointing to a part the package lacks.
#pragma once

#include "module/package.hpp"

#include <string>
#include <unordered_map>

namespace tp::xl {

// Compares `written` with `original`, the package it was read from, and
//  * gives each part that the library copied byte for byte its content type
//    of the original (the library types an ActiveX or form-control part, or
//    a VBA signature, by its extension alone) and its relationships, with
//    the parts they point to (the library does not copy the relationships of
//    the VBA project, which lead to its signatures);
//  * brings back the original's custom document properties, or puts them in
//    place of what the library wrote;
//  * copies from the original each part that a relationship of `written`
//    points to and `written` lacks; where the original lacks it too, that
//    relationship is removed (a macro workbook that has no VBA project still
//    gets the library's relationship to one).
// New bytes for parts of `written` go into `replacement`; new parts are added
// to `written`. Returns whether it added any.
bool keep_package_structure(pkg::Package& original, pkg::Package& written,
                            std::unordered_map<std::string, std::string>& replacement);

}  // namespace tp::xl
