// Bindings of the angle-aware steps: the filter's own predict_custom and
// update (the same argument conversion and steps, so the same failure
// rules), told which entries are angles.
#include "engine_angles.hpp"

#include "filter_forms.hpp"

#include "../kit/kit.hpp"

#include "../angles/angles.hpp"
#include "../ckf/ckf_ops.hpp"
#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"
#include "../srckf/srckf_ops.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexel::py {

namespace {

template <class State>
Ref predict_angles(Instance<State>& self, PyObject* const* args) {
  State& s = self.state;
  const PredictArguments a(args + 1, s.dt);
  AngleEntries angles;
  angles.states = arg_indices(args[4], "angle_states", s.dim_x, true);
  a.require_finite_dt();
  FilterForm<State>::predict_through_model(s, a.fx, a.fx_args, a.dt, angles);
  return none();
}

template <class State>
Ref update_angles(Instance<State>& self, PyObject* const* args) {
  State& s = self.state;
  UpdateArguments a = FilterMethods<State>::update_arguments(s, args + 1);
  AngleEntries angles;
  angles.states = arg_indices(args[5], "angle_states", s.dim_x, true);
  angles.measurements = arg_indices(args[6], "angle_measurements", s.dim_z, true);
  FilterForm<State>::update_through_model(s, a, angles);
  return none();
}

constexpr Params kPredictAngles{
    "predict_angles()", 5, 5, {"filter", "fx", "dt", "fx_args", "angle_states"}};
constexpr Params kUpdateAngles{
    "update_angles()", 7, 7, {"filter", "z", "hx", "r", "hx_args", "angle_states", "angle_measurements"}};

const char* const kPredictAnglesDoc = signature_doc(kPredictAngles, ""
    "`filter.predict_custom(fx, dt, fx_args)` with the propagated angle states\n"
    "unwrapped around their circular mean before the moments, and the angle\n"
    "entries of x and x_prior wrapped to (-pi, pi] afterwards. angle_states is\n"
    "a tuple of state indices.", false);

const char* const kUpdateAnglesDoc = signature_doc(kUpdateAngles, ""
    "`filter.update(z, hx, r, hx_args)` with the images of the angle\n"
    "measurements unwrapped to within pi of z before the moments (the\n"
    "innovation goes the short way round), and the angle entries of x and\n"
    "x_post wrapped to (-pi, pi] afterwards.", false);

PyMethodDef kFunctions[] = {
    {"predict_angles", as_cfunction(&function_entry<kPredictAngles, dispatch_filter<predict_angles<CkfState>, predict_angles<SrckfState>>>),
     kKwFlags, kPredictAnglesDoc},
    {"update_angles", as_cfunction(&function_entry<kUpdateAngles, dispatch_filter<update_angles<CkfState>, update_angles<SrckfState>>>),
     kKwFlags, kUpdateAnglesDoc},
};

}  // namespace

void add_angles(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
