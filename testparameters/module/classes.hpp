#pragma once

#include "module/ref.hpp"

namespace tp {

// Builds Parameter, SheetParameters and BookParameters and binds them in the module.
void define_classes(PyObject* module);

}  // namespace tp
