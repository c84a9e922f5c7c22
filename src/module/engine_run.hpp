// vexel_ckf._engine: run_filter(), a whole run with compiled models in one
// native call.
#pragma once

#include "../kit/python_api.hpp"

namespace vexel::py {

/// Add run_filter() to the module.
void add_run(PyObject* module);

}  // namespace vexel::py
