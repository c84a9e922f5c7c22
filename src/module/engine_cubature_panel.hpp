// vexel_ckf._engine: cubature_panel(), the cubature filter and smoother of
// many sequences of one nonlinear model in one call.
#pragma once

#include "../kit/python_api.hpp"

namespace vexel::py {

/// Add cubature_panel() to the module.
void add_cubature_panel(PyObject* module);

}  // namespace vexel::py
