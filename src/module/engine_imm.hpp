// vexel_ckf._engine: the interacting multiple model estimator's mixing,
// combining and mode probabilities, for a lone IMM and for many targets,
// and imm_run(), a whole IMM run with compiled models in one native call.
#pragma once

#include "../kit/python_api.hpp"

namespace vexel::py {

/// Add the imm_* functions to the module.
void add_imm(PyObject* module);

}  // namespace vexel::py
