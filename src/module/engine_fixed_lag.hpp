// The fixed-lag smoother's bindings in vexel_ckf._engine: a window as an
// opaque handle for the online smoother (fixed_lag_window, fixed_lag_push,
// fixed_lag_flush, fixed_lag_info).  run_filter drives a window itself.
#pragma once

#include "../kit/python_api.hpp"

namespace vexel::py {

/// Adds the fixed_lag_* functions to the module (and to its __all__).
void add_fixed_lag(PyObject* module);

}  // namespace vexel::py
