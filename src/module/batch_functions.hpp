// The three stateless module functions on whole arrays: rts_smooth,
// batch_filter_linear and batch_parallel_step.
#pragma once

#include "../kit/kit.hpp"

namespace vexel::py {

/// New function objects bound to `module`, ready for add_export.
Ref rts_smooth_function(PyObject* module);
Ref batch_filter_linear_function(PyObject* module);
Ref batch_parallel_step_function(PyObject* module);

}  // namespace vexel::py
