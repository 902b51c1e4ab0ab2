#include "module/members.hpp"

namespace tp {

Ref book_init(const Call&) { raise(PyExc_NotImplementedError, "book_init is not built yet"); }
Ref book_get_all_sheet_names(const Call&) { raise(PyExc_NotImplementedError, "book_get_all_sheet_names is not built yet"); }
Ref book_sheet_rename(const Call&) { raise(PyExc_NotImplementedError, "book_sheet_rename is not built yet"); }
Ref book_unload_sheet(const Call&) { raise(PyExc_NotImplementedError, "book_unload_sheet is not built yet"); }
Ref book_load_sheet(const Call&) { raise(PyExc_NotImplementedError, "book_load_sheet is not built yet"); }
Ref book_has_sheet(const Call&) { raise(PyExc_NotImplementedError, "book_has_sheet is not built yet"); }
Ref book_get_sheet_parameters(const Call&) { raise(PyExc_NotImplementedError, "book_get_sheet_parameters is not built yet"); }
Ref book_get_parameter(const Call&) { raise(PyExc_NotImplementedError, "book_get_parameter is not built yet"); }
Ref book_get_parameter_from_sheet(const Call&) { raise(PyExc_NotImplementedError, "book_get_parameter_from_sheet is not built yet"); }
Ref book_has_parameter(const Call&) { raise(PyExc_NotImplementedError, "book_has_parameter is not built yet"); }
Ref book_get_value(const Call&) { raise(PyExc_NotImplementedError, "book_get_value is not built yet"); }
Ref book_set_value(const Call&) { raise(PyExc_NotImplementedError, "book_set_value is not built yet"); }
Ref book_get_low(const Call&) { raise(PyExc_NotImplementedError, "book_get_low is not built yet"); }
Ref book_get_up(const Call&) { raise(PyExc_NotImplementedError, "book_get_up is not built yet"); }

}  // namespace tp
