// The CompiledModel class of vexel_ckf._engine.
#pragma once

#include "../kit/python_api.hpp"

namespace vexel::py {

/// Add CompiledModel and model_signature to the engine module.
void add_models(PyObject* module);

}  // namespace vexel::py
