// Parameter: the record of one test parameter. It stores what it is given.
#include "module/members.hpp"

namespace tp {

// __init__(self, name, desc='', value=None, low=None, up=None, unit='', _type='str')
Ref parameter_init(const Call& c) {
    const Names& n = c.n();
    PyObject* self = c.self();
    setattr(self, n.name, c[1]);
    setattr(self, n.desc, c[2]);
    setattr(self, n.value, c[3]);
    setattr(self, n.low, c[4]);
    setattr(self, n.up, c[5]);
    setattr(self, n.unit, c[6]);
    setattr(self, n.type, c[7]);
    return none();
}

}  // namespace tp
