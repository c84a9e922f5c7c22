// The fitting functions of vexel_ckf._engine: the expectation step of EM for
// linear models over panels with missed measurements.
#pragma once

#include "../kit/kit.hpp"

namespace vexel::py {

/// Adds em_statistics to `module`.
void add_fit(PyObject* module);

}  // namespace vexel::py
