#include "module/members.hpp"

namespace tp {

Ref sheet_parse_value(const Call&) { raise(PyExc_NotImplementedError, "sheet_parse_value is not built yet"); }

}  // namespace tp
