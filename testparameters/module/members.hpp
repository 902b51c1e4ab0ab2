// The bodies of every method of the three classes, as the class namespaces
// (classes.cpp) bind them. Each lives in the folder of its class.
#pragma once

#include "module/function.hpp"

namespace tp {

// Parameter
Ref parameter_init(const Call&);

// SheetParameters: the table
Ref sheet_init(const Call&);
Ref sheet_name(const Call&);
Ref sheet_rename(const Call&);
Ref sheet_name_get(const Call&);
Ref sheet_name_set(const Call&);
Ref sheet_parameter_names(const Call&);
Ref sheet_set_parameter(const Call&);
Ref sheet_get_parameter(const Call&);
Ref sheet_has_parameter(const Call&);
Ref sheet_get_value(const Call&);
Ref sheet_set_value(const Call&);
// SheetParameters: loading, parsing, queries, saving
Ref sheet_load(const Call&);
Ref sheet_parse_value(const Call&);
Ref sheet_prefix_count(const Call&);
Ref sheet_prefix_names(const Call&);
Ref sheet_prefix_parameters(const Call&);
Ref sheet_postfix_count(const Call&);
Ref sheet_postfix_names(const Call&);
Ref sheet_postfix_parameters(const Call&);
Ref sheet_save(const Call&);

// BookParameters
Ref book_init(const Call&);
Ref book_get_all_sheet_names(const Call&);
Ref book_sheet_rename(const Call&);
Ref book_unload_sheet(const Call&);
Ref book_load_sheet(const Call&);
Ref book_has_sheet(const Call&);
Ref book_get_sheet_parameters(const Call&);
Ref book_get_parameter(const Call&);
Ref book_get_parameter_from_sheet(const Call&);
Ref book_has_parameter(const Call&);
Ref book_get_value(const Call&);
Ref book_set_value(const Call&);
Ref book_get_low(const Call&);
Ref book_get_up(const Call&);
Ref book_save(const Call&);
Ref book_save_as(const Call&);

}  // namespace tp
