// The three stateless module functions of _native on whole arrays:
// rts_smooth, batch_filter_linear and batch_parallel_step, and the linear
// bank step that batch_parallel_step and _engine's bank_step_gaps share.
#pragma once

#include "../kit/kit.hpp"

namespace vexel::py {

/// New function objects bound to `module`, ready for add_export.
Ref rts_smooth_function(PyObject* module);
Ref batch_filter_linear_function(PyObject* module);
Ref batch_parallel_step_function(PyObject* module);

/// One step of a linear bank with batch_parallel_step's arguments, checks
/// and messages; with `gaps` a measurement of all NaN is a missed one
/// (status 4, "no measurement", NaN log-likelihood, the prediction
/// returned).
Ref linear_bank_step(PyObject* const* args, bool gaps);

}  // namespace vexel::py
