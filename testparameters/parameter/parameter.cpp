// Parameter: the record of one test parameter. It stores what it is given.
#include "module/members.hpp"

namespace tp {
namespace {

TP_ARGUMENTS(InitArgs, self, name, desc, value, low, up, unit, _type);

Ref init(const Call& c, const InitArgs& a) {
    const Names& n = c.n();
    setattr(a.self, n.name, a.name);
    setattr(a.self, n.desc, a.desc);
    setattr(a.self, n.value, a.value);
    setattr(a.self, n.low, a.low);
    setattr(a.self, n.up, a.up);
    setattr(a.self, n.unit, a.unit);
    setattr(a.self, n.type, a._type);
    return none();
}

}  // namespace

const Member kParameterInit =
    method<InitArgs, init>("__init__", "(self, name, desc='', value=None, low=None, up=None, unit='', _type='str')");

}  // namespace tp
