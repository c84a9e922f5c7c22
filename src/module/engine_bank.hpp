// CkfBank of vexel_ckf._engine: a bank of covariance-form cubature filters
// stepped with one fx or hx call per step for the whole bank.
#pragma once

#include "../kit/kit.hpp"

namespace vexel::py {

/// Adds the CkfBank class to the module (and its __all__).
void add_bank(PyObject* module);

}  // namespace vexel::py
