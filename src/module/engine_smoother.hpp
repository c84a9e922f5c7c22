// The cubature smoother's binding in vexel_ckf._engine.
#pragma once

#include "../kit/kit.hpp"

namespace vexel::py {

/// Adds `cubature_smooth` to the module (and to its __all__).
void add_smoother(PyObject* module);

}  // namespace vexel::py
