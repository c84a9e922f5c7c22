// SquareRootCubatureKalmanFilter: the type object, its constructor, the
// method table, and the methods that run a model callback or copy the state.
#include "../kit/kit.hpp"
#include "record.hpp"
#include "srckf_module.hpp"

#include <cmath>
#include <optional>
#include <utility>

namespace vexel::py {

ClassInfo g_srckf_class{nullptr, "SquareRootCubatureKalmanFilter"};

namespace {

constexpr Params kNew{"SquareRootCubatureKalmanFilter.__new__()", 3, 3, {"dim_x", "dim_z", "dt"}};
constexpr Params kSetState{"SquareRootCubatureKalmanFilter.set_state()", 4, 4, {"x", "p", "q", "r"}};
constexpr Params kSetDt{"SquareRootCubatureKalmanFilter.set_dt()", 1, 1, {"dt"}};
constexpr Params kPredictCustom{"SquareRootCubatureKalmanFilter.predict_custom()", 3, 1, {"fx", "dt", "fx_args"}};
constexpr Params kUpdate{"SquareRootCubatureKalmanFilter.update()", 4, 2, {"z", "hx", "r", "hx_args"}};
constexpr Params kGet{"SquareRootCubatureKalmanFilter.get()", 1, 1, {"name"}};
constexpr Params kSet{"SquareRootCubatureKalmanFilter.set()", 2, 2, {"name", "value"}};
constexpr Params kLoadSnapshot{"SquareRootCubatureKalmanFilter.load_snapshot()", 1, 1, {"state"}};
constexpr Params kRecordStep{"SquareRootCubatureKalmanFilter.record_step()", 2, 2, {"i", "out"}};

PyObject* srckf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> Ref {
    PyObject* a[kMaxParams] = {};
    parse_args(kNew, args, kwargs, a);
    const std::uint64_t dim_x = arg_u64(a[0], "dim_x");
    const std::uint64_t dim_z = arg_u64(a[1], "dim_z");
    const double dt = arg_double(a[2], "dt");
    return new_instance(type, unwrap(SrckfState::create(dim_x, dim_z, dt)));
  });
}

Ref srckf_predict_custom(SrckfInstance& self, PyObject* const* args) {
  PyObject* fx = args[0];
  SrckfState& s = self.state;
  const double dt = given(args[1]) ? arg_double(args[1], "dt") : s.dt;
  PyObject* fx_args = given(args[2]) ? arg_tuple(args[2], "fx_args") : nullptr;
  if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));

  // Points from the stored factor, one call of fx on all of them, then the
  // QR step; every failure comes before the commit inside finish_prediction.
  const DMatrix points = s.cubature_points();
  const DMatrix propagated = call_model_vectorized(fx, points, true, fx_args, s.dim_x, dt);
  unwrap(s.finish_prediction(propagated));
  return none();
}

Ref srckf_update(SrckfInstance& self, PyObject* const* args) {
  const ArrayIn z_in = arg_array(args[0], 1, "z");
  PyObject* hx = args[1];
  std::optional<ArrayIn> r_in;
  if (given(args[2])) r_in = arg_array(args[2], 2, "r");
  PyObject* hx_args = given(args[3]) ? arg_tuple(args[3], "hx_args") : nullptr;
  SrckfState& s = self.state;

  // The measurement is validated before anything changes.
  const DVector z = pyarray1_to_dvector(z_in, s.dim_z, "z");
  require_finite_measurement(z);

  // A per-call noise matrix: a wrong shape is reported once the update has
  // started (last_jitter already reset, like a failing factorisation), while
  // a NaN or infinity is refused before anything changes, as the stored R
  // would have been.
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

  const DMatrix Rf = unwrap(s.begin_update(r_in ? &r : nullptr));
  const DMatrix points = s.cubature_points();
  const DMatrix Zm = call_model_vectorized(hx, points, false, hx_args, s.dim_z, 0.0);
  unwrap(s.finish_update(z, points, Zm, Rf));
  return none();
}

Ref srckf_clear_update_diagnostics(SrckfInstance& self) {
  self.state.clear_update_diagnostics();
  return none();
}

Ref srckf_copy(SrckfInstance& self) {
  SrckfState copy = self.state;
  return new_instance(g_srckf_class.type, std::move(copy));
}

Ref srckf_record_step(SrckfInstance& self, PyObject* const* args) {
  const std::uint64_t i = arg_u64(args[0], "i");
  PyObject* out = arg_tuple(args[1], "out");
  const SrckfState& s = self.state;
  const DMatrix P_post = factor_product(s.chol_P_post);
  const DMatrix P_prior = factor_product(s.chol_P_prior);
  record_row(i, out, s.x_post, P_post, s.x_prior, P_prior, s.log_likelihood, s.nis);
  return none();
}

using Methods = MethodsOf<SrckfState, g_srckf_class>;
constexpr int kKw = kKwFlags;

PyMethodDef kMethods[] = {
    {"set_state", Methods::kw<kWrite, kSetState, srckf_set_state>(), kKw,
     "set_state($self, x, p, q, r)\n--\n\n"
     "Seed the filter from a covariance-space description: equivalent to\n"
     "`set(\"x\", x)`, `set(\"P\", p)`, `set(\"Q\", q)` and `set(\"R\", r)`, in this\n"
     "order, stopping at the first failure (earlier assignments stay). Each\n"
     "covariance is factored once; jitter added there is counted."},
    {"set_dt", Methods::kw<kWrite, kSetDt, srckf_set_dt>(), kKw,
     "set_dt($self, dt)\n--\n\nUpdate the default time step used by predict_custom when no per-call\n"
     "dt is given."},
    {"predict_custom", Methods::kw<kWrite, kPredictCustom, srckf_predict_custom>(), kKw,
     "predict_custom($self, fx, dt=None, fx_args=None)\n--\n\n"},
    {"clear_update_diagnostics", Methods::noargs<kWrite, srckf_clear_update_diagnostics>(), METH_NOARGS,
     "clear_update_diagnostics($self)\n--\n\n"
     "Record a skipped measurement (`update(z=None)`): clear the innovation\n"
     "and likelihood diagnostics so callers don't re-read stale values, set\n"
     "`z` to NaN, and make the posterior equal the current prior."},
    {"reset_jitter_counters", Methods::noargs<kWrite, srckf_reset_jitter_counters>(), METH_NOARGS,
     "reset_jitter_counters($self)\n--\n\n"},
    {"update", Methods::kw<kWrite, kUpdate, srckf_update>(), kKw, "update($self, z, hx, r=None, hx_args=None)\n--\n\n"},
    {"get", Methods::kw<kRead, kGet, srckf_get>(), kKw,
     "get($self, name)\n--\n\nReturn one field by its Python attribute name, as a fresh numpy array\n"
     "or a Python scalar. Covariances are products of the stored factors."},
    {"set", Methods::kw<kWrite, kSet, srckf_set>(), kKw,
     "set($self, name, value)\n--\n\nOverwrite one field by its Python attribute name. Assigning P, Q or R\n"
     "factors it once with `stable_cholesky` and counts any jitter added;\n"
     "the `chol_*` and `S_innov` names set a factor directly, with no\n"
     "factorization. Arrays must be float64 with the field's shape; state\n"
     "and factors must be finite."},
    {"load_snapshot", Methods::kw<kWrite, kLoadSnapshot, srckf_load_snapshot>(), kKw,
     "load_snapshot($self, state)\n--\n\n"
     "Inverse of `snapshot`: `set` every stored field present in `state`\n"
     "(factors, not their products, so nothing is re-factored). Other keys\n"
     "are ignored and absent fields keep their current values."},
    {"copy", Methods::noargs<kRead, srckf_copy>(), METH_NOARGS,
     "copy($self)\n--\n\nIndependent copy of the whole filter, factors and counters included."},
    {"record_step", Methods::kw<kRead, kRecordStep, srckf_record_step>(), kKw,
     "record_step($self, i, out)\n--\n\n"
     "Write row `i` of `run()`'s outputs (see the CKF method of the same\n"
     "name); P_post and P_prior are products of their factors."},
    {"snapshot", Methods::noargs<kRead, srckf_snapshot>(), METH_NOARGS, "snapshot($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Signature block only: the class has an empty docstring body.
constexpr const char kDoc[] = "SquareRootCubatureKalmanFilter(dim_x, dim_z, dt)\n--\n\n";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&srckf_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<SrckfState>)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kTypeDefinition{"SquareRootCubatureKalmanFilter", static_cast<int>(sizeof(SrckfInstance)), 0,
                  Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

Ref srckf_type() {
  if (g_srckf_class.type == nullptr) {
    // The reference is kept for the life of the process.
    g_srckf_class.type =
        reinterpret_cast<PyTypeObject*>(new_final_class(&kTypeDefinition, "vexel_ckf._native").release());
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(g_srckf_class.type));
}

}  // namespace vexel::py
