// The three stateless module functions on whole arrays: rts_smooth,
// batch_filter_linear and batch_parallel_step.
#pragma once

#include "../kit/kit.hpp"

namespace vexel::py {

/// New function objects bound to `module`, ready for add_export.
Ref rts_smooth_function(PyObject* module);
Ref batch_filter_linear_function(PyObject* module);
Ref batch_parallel_step_function(PyObject* module);

/// The body of batch_parallel_step (same arguments, checks and messages)
/// for a bank with gaps: a measurement of all NaN is a missed one (status
/// 4, "no measurement", NaN log-likelihood, the prediction returned).
Ref bank_step_with_gaps(PyObject* const* args);

}  // namespace vexel::py
