#include "module/members.hpp"

namespace tp {

Ref sheet_save(const Call&) { raise(PyExc_NotImplementedError, "sheet_save is not built yet"); }

}  // namespace tp
