// Bindings of the angle-aware steps.  Each runs the filter's own prediction
// or update step by step, as the `_native` methods do, with the angle
// handling of src/angles inserted between the callback and the moments and
// after the commit; the failure rules are those of the `_native` methods.
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

using CkfInstance = Instance<CkfState>;
using SrckfInstance = Instance<SrckfState>;


/// A tuple of distinct indices below `bound`, named `name` in errors.
std::vector<Index> index_list(PyObject* obj, Index bound, const char* name) {
  PyObject* items = arg_tuple(obj, name);
  const Py_ssize_t count = PyTuple_Size(items);
  if (count < 0) fail_python();
  std::vector<Index> out;
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const std::uint64_t v = arg_u64(PyTuple_GetItem(items, i), name);
    if (v >= static_cast<std::uint64_t>(bound)) {
      fail(Error::value(std::string(name) + " holds the index " + std::to_string(v) + ", outside 0.." +
                        std::to_string(bound - 1)));
    }
    out.push_back(static_cast<Index>(v));
  }
  return out;
}

bool is_instance_of(PyObject* obj, const ClassInfo& cls) {
  return cls.type != nullptr && PyObject_TypeCheck(obj, cls.type);
}

[[noreturn]] void not_a_filter(PyObject* obj) {
  fail(Error::type("filter must be a CubatureKalmanFilter or SquareRootCubatureKalmanFilter, got " +
                   type_name(obj)));
}

Ref ckf_predict_angles(CkfInstance& self, PyObject* const* args) {
  CkfState& s = self.state;
  const PredictArguments a(args + 1, s.dt);
  const std::vector<Index> states = index_list(args[4], s.dim_x, "angle_states");
  a.require_finite_dt();
  PointSet points = unwrap(cubature_points(s.x, s.P));
  DMatrix Y = call_model_vectorized(a.fx, points.X, /*pass_dt=*/true, a.fx_args, s.dim_x, a.dt);
  // The propagated angles on one side of the seam, so that their mean and
  // spread are those on the circle.
  angles::unwrap_columns_around_mean(Y, states);
  unwrap(commit_prediction(s, std::move(Y), points.jitter));
  angles::wrap_entries(s.x, states);
  angles::wrap_entries(s.x_prior, states);
  return none();
}

Ref srckf_predict_angles(SrckfInstance& self, PyObject* const* args) {
  SrckfState& s = self.state;
  const PredictArguments a(args + 1, s.dt);
  const std::vector<Index> states = index_list(args[4], s.dim_x, "angle_states");
  a.require_finite_dt();
  const DMatrix points = cubature_points(s);
  DMatrix propagated = call_model_vectorized(a.fx, points, true, a.fx_args, s.dim_x, a.dt);
  angles::unwrap_columns_around_mean(propagated, states);
  unwrap(commit_prediction(s, propagated));
  angles::wrap_entries(s.x, states);
  angles::wrap_entries(s.x_prior, states);
  return none();
}

Ref ckf_update_angles(CkfInstance& self, PyObject* const* args) {
  CkfState& s = self.state;
  DVector z;
  DMatrix R_eff;
  PyObject* hx = args[2];
  PyObject* hx_args = nullptr;
  std::vector<Index> states;
  std::vector<Index> measured;
  {
    ArrayIn z_in = arg_array(args[1], 1, "z");
    std::optional<ArrayIn> r_in;
    if (given(args[3])) r_in = arg_array(args[3], 2, "r");
    if (given(args[4])) hx_args = arg_tuple(args[4], "hx_args");
    states = index_list(args[5], s.dim_x, "angle_states");
    measured = index_list(args[6], s.dim_z, "angle_measurements");
    z = pyarray1_to_dvector(z_in, s.dim_z, "z");
    require_finite_measurement(z);
    if (r_in) {
      R_eff = pyarray2_to_dmatrix(*r_in, s.dim_z, s.dim_z, "R");
      require_finite(R_eff, "R");
    } else {
      R_eff = s.R;
    }
  }
  PointSet points = unwrap(cubature_points(s.x, s.P));
  DMatrix Z = call_model_vectorized(hx, points.X, /*pass_dt=*/false, hx_args, s.dim_z, 0.0);
  // Each image within pi of the measurement: the innovation is the short way round.
  angles::unwrap_columns_around(Z, measured, z);
  unwrap(update_from_points(s, std::move(points.X), std::move(Z), z, R_eff, points.jitter));
  angles::wrap_entries(s.x, states);
  angles::wrap_entries(s.x_post, states);
  return none();
}

Ref srckf_update_angles(SrckfInstance& self, PyObject* const* args) {
  const ArrayIn z_in = arg_array(args[1], 1, "z");
  PyObject* hx = args[2];
  std::optional<ArrayIn> r_in;
  if (given(args[3])) r_in = arg_array(args[3], 2, "r");
  PyObject* hx_args = given(args[4]) ? arg_tuple(args[4], "hx_args") : nullptr;
  SrckfState& s = self.state;
  const std::vector<Index> states = index_list(args[5], s.dim_x, "angle_states");
  const std::vector<Index> measured = index_list(args[6], s.dim_z, "angle_measurements");
  const DVector z = pyarray1_to_dvector(z_in, s.dim_z, "z");
  require_finite_measurement(z);
  DMatrix r;
  if (r_in) {
    try {
      r = pyarray2_to_dmatrix(*r_in, s.dim_z, s.dim_z, "R");
    } catch (const Error&) {
      s.jitter.last_jitter = 0.0;
      throw;
    }
    require_finite(r, "R");
  }
  const DMatrix Rf = unwrap(begin_update(s, r_in ? &r : nullptr));
  const DMatrix points = cubature_points(s);
  DMatrix Zm = call_model_vectorized(hx, points, false, hx_args, s.dim_z, 0.0);
  angles::unwrap_columns_around(Zm, measured, z);
  unwrap(update_from_points(s, points, Zm, z, Rf));
  angles::wrap_entries(s.x, states);
  angles::wrap_entries(s.x_post, states);
  return none();
}

/// Dispatch on the filter's class, with its write borrow held for the call.
template <Ref (*Ckf)(CkfInstance&, PyObject* const*), Ref (*Srckf)(SrckfInstance&, PyObject* const*)>
Ref dispatch(PyObject* const* args) {
  PyObject* filter = args[0];
  if (is_instance_of(filter, FilterForm<CkfState>::cls)) {
    auto& inst = *reinterpret_cast<CkfInstance*>(filter);
    ObjectBorrow guard(inst.borrow, BorrowKind::Write);
    return Ckf(inst, args);
  }
  if (is_instance_of(filter, FilterForm<SrckfState>::cls)) {
    auto& inst = *reinterpret_cast<SrckfInstance*>(filter);
    ObjectBorrow guard(inst.borrow, BorrowKind::Write);
    return Srckf(inst, args);
  }
  not_a_filter(filter);
}

constexpr Params kPredictAngles{
    "predict_angles()", 5, 5, {"filter", "fx", "dt", "fx_args", "angle_states"}};
constexpr Params kUpdateAngles{
    "update_angles()", 7, 7, {"filter", "z", "hx", "r", "hx_args", "angle_states", "angle_measurements"}};

constexpr const char* kPredictAnglesDoc =
    "predict_angles(filter, fx, dt, fx_args, angle_states)\n--\n\n"
    "`filter.predict_custom(fx, dt, fx_args)` with the propagated angle states\n"
    "unwrapped around their circular mean before the moments, and the angle\n"
    "entries of x and x_prior wrapped to (-pi, pi] afterwards. angle_states is\n"
    "a tuple of state indices.";

constexpr const char* kUpdateAnglesDoc =
    "update_angles(filter, z, hx, r, hx_args, angle_states, angle_measurements)\n--\n\n"
    "`filter.update(z, hx, r, hx_args)` with the images of the angle\n"
    "measurements unwrapped to within pi of z before the moments (the\n"
    "innovation goes the short way round), and the angle entries of x and\n"
    "x_post wrapped to (-pi, pi] afterwards.";

PyMethodDef kFunctions[] = {
    {"predict_angles", as_cfunction(&function_entry<kPredictAngles, dispatch<ckf_predict_angles, srckf_predict_angles>>),
     kKwFlags, kPredictAnglesDoc},
    {"update_angles", as_cfunction(&function_entry<kUpdateAngles, dispatch<ckf_update_angles, srckf_update_angles>>),
     kKwFlags, kUpdateAnglesDoc},
};

}  // namespace

void add_angles(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
