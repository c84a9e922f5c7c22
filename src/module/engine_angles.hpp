// vexel_ckf._engine: the angle-aware prediction and update of both filter
// classes (angle states unwrapped around their circular mean after fx and
// wrapped after each step; images of angle measurements unwrapped around the
// measurement before the moments).
#pragma once

#include "../kit/kit.hpp"

namespace vexel::py {

/// Add predict_angles() and update_angles() to the module.
void add_angles(PyObject* module);

}  // namespace vexel::py
