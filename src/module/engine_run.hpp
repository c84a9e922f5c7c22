// vexel_ckf._engine: run_filter(), a whole run with compiled models in one
// native call.
#pragma once

#include "filter_methods.hpp"

#include "../kit/python_api.hpp"

namespace vexel::py {

/// The models argument of the whole-run functions: (fx, fx_args, hx,
/// hx_args), the extra arguments as tuples or nullptr for None.
struct RunModels {
  PyObject* fx;
  PyObject* fx_args;
  PyObject* hx;
  PyObject* hx_args;
};
RunModels arg_run_models(PyObject* obj);

/// The angles argument of the whole-run functions: None (no angles), or
/// (angle_states, angle_measurements), each None or indices below n and m.
AngleEntries arg_angle_entries(PyObject* obj, Index n, Index m);

/// Add run_filter() to the module.
void add_run(PyObject* module);

}  // namespace vexel::py
