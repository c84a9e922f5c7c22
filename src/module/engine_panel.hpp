// The panel functions of vexel_ckf._engine: filtering and smoothing of M
// sequences of one linear model (with missed measurements) on the worker
// pool, and the filter bank step with missed measurements.
#pragma once

#include "../kit/kit.hpp"

namespace vexel::py {

/// Adds panel_filter, panel_smoother, panel_rts and bank_step_gaps to
/// `module`.
void add_panel(PyObject* module);

}  // namespace vexel::py
