// The module's state: its interned names and the objects it captured at import.
#pragma once

#include "module/ref.hpp"

#include <unordered_map>

namespace tp {

// Attribute, method and module names, and the few texts compared against.
#define TP_INTERNED(X)                                                     \
    /* instance state */                                                \
    X(all_names, "_all_names")                                          \
    X(sheet_name_attr, "_sheet_name")                                   \
    X(sheet_support_eval, "_SheetParameters__support_eval")             \
    X(book_sheets, "_BookParameters__all_sheet_parameters")             \
    X(book_support_eval, "_BookParameters__support_eval")               \
    X(bookname, "bookname")                                             \
    /* record attributes */                                             \
    X(name, "name")                                                     \
    X(desc, "desc")                                                     \
    X(value, "value")                                                   \
    X(low, "low")                                                       \
    X(up, "up")                                                         \
    X(unit, "unit")                                                     \
    X(type, "type")                                                     \
    /* methods of the module's classes */                               \
    X(sheet_name, "sheet_name")                                         \
    X(sheet_rename, "sheet_rename")                                     \
    X(set_parameter, "set_parameter")                                   \
    X(get_parameter, "get_parameter")                                   \
    X(has_parameter, "has_parameter")                                   \
    X(parse_value, "_parse_value")                                      \
    X(load, "load")                                                     \
    X(save, "save")                                                     \
    X(get_all_sheet_names, "get_all_sheet_names")                       \
    X(get_sheet_parameters, "get_sheet_parameters")                     \
    /* module names looked up at call time */                           \
    X(Parameter, "Parameter")                                           \
    X(SheetParameters, "SheetParameters")                               \
    X(BookParameters, "BookParameters")                                 \
    X(load_workbook, "load_workbook")                                   \
    X(Workbook, "Workbook")                                             \
    X(LIMIT_MODE_RELATIVE, "LIMIT_MODE_RELATIVE")                       \
    /* methods of builtin objects */                                    \
    X(startswith, "startswith")                                         \
    X(bit_length, "bit_length")                                         \
    X(endswith, "endswith")                                             \
    X(strip, "strip")                                                   \
    X(lower, "lower")                                                   \
    X(append, "append")                                                 \
    X(pop, "pop")                                                       \
    X(index, "index")                                                   \
    X(setter, "setter")                                                 \
    X(init, "__init__")                                                 \
    X(encode, "encode")                                                 \
    X(optimize, "optimize")                                             \
    /* spreadsheet library */                                           \
    X(sheetnames, "sheetnames")                                         \
    X(create_sheet, "create_sheet")                                     \
    X(cell, "cell")                                                     \
    X(max_row, "max_row")                                               \
    X(active, "active")                                                 \
    X(remove_sheet, "remove_sheet")                                     \
    X(remove, "remove")                                                 \
    X(read_only, "read_only")                                           \
    X(data_only, "data_only")                                           \
    X(iter_rows, "iter_rows")                                           \
    X(min_row, "min_row")                                               \
    X(max_col, "max_col")                                               \
    X(values_only, "values_only")                                       \
    X(reset_dimensions, "reset_dimensions")                             \
    X(close, "close")                                                   \
    X(closed, "closed")                                                 \
    X(archive, "_archive")                                              \
    X(fp, "fp")                                                         \
    X(row, "row")                                                       \
    X(column, "column")                                                 \
    X(data_type, "data_type")                                           \
    X(formula_code, "f")                                                \
    X(string_code, "s")                                                 \
    X(keep_vba, "keep_vba")                                             \
    X(vba_archive, "vba_archive")                                       \
    X(rich_text, "rich_text")                                           \
    X(cells_attr, "_cells")                                             \
    X(merged_cells, "merged_cells")                                     \
    X(ranges, "ranges")                                                 \
    X(min_col, "min_col")                                               \
    X(coord, "coord")                                                   \
    /* the package's content types (is it a macro workbook?) */          \
    X(ZipFile, "ZipFile")                                               \
    X(getinfo, "getinfo")                                               \
    X(file_size, "file_size")                                           \
    X(read, "read")                                                     \
    X(fromstring, "fromstring")                                         \
    X(forbid_dtd, "forbid_dtd")                                         \
    X(iter, "iter")                                                     \
    X(get, "get")                                                       \
    X(ContentType, "ContentType")                                       \
    /* values and exceptions (what a save writes) */                    \
    X(tzinfo, "tzinfo")                                                 \
    X(literal_eval, "literal_eval")                                     \
    X(add_note, "add_note")                                             \
    X(notes, "__notes__")                                               \
    X(code, "__code__")                                                 \
    X(co_argcount, "co_argcount")                                       \
    X(co_kwonlyargcount, "co_kwonlyargcount")                           \
    X(co_varnames, "co_varnames")                                       \
    /* files (atomic replace of a saved workbook) */                    \
    X(path, "path")                                                     \
    X(realpath, "realpath")                                             \
    X(split, "split")                                                   \
    X(join, "join")                                                     \
    X(open, "open")                                                     \
    X(stat, "stat")                                                     \
    X(st_mode, "st_mode")                                               \
    X(st_uid, "st_uid")                                                 \
    X(st_gid, "st_gid")                                                 \
    X(fchmod, "fchmod")                                                 \
    X(fchown, "fchown")                                                 \
    X(errno_attr, "errno")                                              \
    X(fsync, "fsync")                                                   \
    X(replace, "replace")                                               \
    X(unlink, "unlink")                                                 \
    /* the saving pass: zip packages, the saved workbook, warnings */   \
    X(infolist, "infolist")                                             \
    X(filename, "filename")                                             \
    X(writestr, "writestr")                                             \
    X(worksheets, "worksheets")                                         \
    X(title, "title")                                                   \
    X(value_attr, "_value")                                             \
    X(catch_warnings, "catch_warnings")                                 \
    X(simplefilter, "simplefilter")                                     \
    X(warn_explicit, "warn_explicit")                                   \
    X(enter, "__enter__")                                               \
    X(exit, "__exit__")                                                 \
    X(message, "message")                                               \
    X(category, "category")                                             \
    X(lineno, "lineno")                                                 \
    X(record, "record")                                                 \
    X(always, "always")                                                 \
    X(write_mode, "w")                                                  \
    /* modules imported at run time, and the classes the module tells   \
       apart by identity */                                             \
    X(mod_builtins, "builtins")                                         \
    X(mod_typing, "typing")                                             \
    X(mod_openpyxl, "openpyxl")                                         \
    X(mod_os, "os")                                                     \
    X(mod_ast, "ast")                                                   \
    X(mod_warnings, "warnings")                                         \
    X(mod_zipfile, "zipfile")                                           \
    X(mod_defused_etree, "defusedxml.ElementTree")                      \
    X(mod_reader_excel, "openpyxl.reader.excel")                        \
    X(mod_workbook, "openpyxl.workbook.workbook")                       \
    X(mod_worksheet, "openpyxl.worksheet.worksheet")                    \
    X(mod_read_only, "openpyxl.worksheet._read_only")                   \
    X(mod_chartsheet, "openpyxl.chartsheet.chartsheet")                 \
    X(mod_rich_text, "openpyxl.cell.rich_text")                         \
    X(List, "List")                                                     \
    X(Worksheet, "Worksheet")                                           \
    X(ReadOnlyWorksheet, "ReadOnlyWorksheet")                           \
    X(Chartsheet, "Chartsheet")                                         \
    X(CellRichText, "CellRichText")                                     \
    /* functions and code objects, module and exception attributes */   \
    X(dunder_name, "__name__")                                          \
    X(dunder_qualname, "__qualname__")                                  \
    X(dunder_module, "__module__")                                      \
    X(dunder_defaults, "__defaults__")                                  \
    X(dunder_annotations, "__annotations__")                            \
    X(dunder_builtins, "__builtins__")                                  \
    X(dunder_file, "__file__")                                          \
    X(dunder_test, "__test__")                                          \
    X(co_flags, "co_flags")                                             \
    X(dirname, "dirname")                                               \
    X(syntax_text, "text")                                              \
    X(offset, "offset")                                                 \
    X(end_offset, "end_offset")                                         \
    /* fields of syntax tree nodes */                                   \
    X(ast_body, "body")                                                 \
    X(ast_op, "op")                                                     \
    X(ast_operand, "operand")                                           \
    X(ast_left, "left")                                                 \
    X(ast_right, "right")                                               \
    X(ast_n, "n")                                                       \
    X(ast_s, "s")                                                       \
    X(ast_id, "id")                                                     \
    /* texts */                                                         \
    X(module_name, "orv_testparameters")                                \
    X(utf_8, "utf-8")                                                   \
    X(letter_t, "t")                                                    \
    X(letter_y, "y")                                                    \
    X(digit_1, "1")                                                     \
    X(empty, "")                                                        \
    X(str_type, "str")                                                  \
    X(eval_type, "eval")                                                \
    /* local names that an evaluated cell expression sees */            \
    X(local_self, "self")                                               \
    X(local_variable_content, "variable_content")                       \
    X(local_variableType, "variableType")                               \
    X(local_default_type, "default_type")                               \
    X(local_variable_type, "variable_type")                             \
    X(local_variable_str, "variable_str")

struct Names {
#define TP_NAME_FIELD(id, text) Ref id;
    TP_INTERNED(TP_NAME_FIELD)
#undef TP_NAME_FIELD
};

// What sheet/names.cpp keeps of one table while it lives.
struct TableMemo {
    Ref weakref;  // to the table; its callback drops the entry
    // _all_names. Only exact str objects are held, which refer to nothing:
    // the memo can keep no table alive.
    Ref copy;     // a list of its elements when last looked at, all exact str
    Ref set;      // a set of them, once made
    int stable = 0;  // look-ups since `copy` that found the list unchanged
    // sheet_name(): its answer (None or an exact str) while the table's class
    // and namespace stay as they were when it was given
    Ref title;
    PyObject* title_dict = nullptr;  // the table's namespace then (not held)
    uint64_t title_dict_version = 0;
    PyTypeObject* title_type = nullptr;
    unsigned int title_type_version = 0;
};

struct State {
    Names n;
    Ref builtins;      // the builtins module's dict
    Ref kw_cell;       // ("row", "column")
    Ref kw_load;       // ("read_only", "data_only")
    Ref kw_iter_rows;  // ("min_row", "max_col", "values_only")
    // What the last load of each table read, for its next save: id(table) ->
    // (weak reference to the table, record); see sheet/load_record.hpp.
    Ref load_records;
    // The editable open: the library function whose signature was last
    // looked at, and whether it takes rich_text.
    Ref open_checked;
    bool open_rich_text = false;
    Ref kw_record;     // ("record",)
    // Counts the calls of the module's own code into code that may be the
    // caller's (a cell evaluated as Python, str() or a method of an object
    // of a class not the interpreter's own), so that a load can tell that
    // none happened while it converted a row.
    unsigned long calls_out = 0;
    // The builtins module's own eval function as the module found it at
    // import, so that telling it from a replacement is one comparison.
    Ref builtin_eval;
    // The classes that objects are told apart by (exactly of that class or
    // not), each as its module bound it when first asked for; see
    // xl::library_class. None for a class whose module cannot be imported.
    static constexpr int kLibraryClasses = 6;
    Ref library_classes[kLibraryClasses];
    // Tables by address, while they live.
    std::unordered_map<PyObject*, TableMemo> tables;
};

// The state of the module object `module` (one of ours).
inline State& state_of(PyObject* module) { return **static_cast<State**>(PyModule_GetState(module)); }

void state_init(PyObject* module);

}  // namespace tp
