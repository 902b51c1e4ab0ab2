#include "module/members.hpp"

namespace tp {

Ref sheet_load(const Call&) { raise(PyExc_NotImplementedError, "sheet_load is not built yet"); }

}  // namespace tp
