#include "module/members.hpp"

namespace tp {

Ref book_save(const Call&) { raise(PyExc_NotImplementedError, "book_save is not built yet"); }
Ref book_save_as(const Call&) { raise(PyExc_NotImplementedError, "book_save_as is not built yet"); }

}  // namespace tp
