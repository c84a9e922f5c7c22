// CubatureKalmanFilter: the callback-driven prediction and update, the
// skipped-measurement reset, copy and step recording.
//
// Each body converts its arguments in parameter order, runs every check
// that can fail before the first field is written, and leaves the
// numerical work to src/ckf.
#include "../kit/kit.hpp"
#include "ckf_module.hpp"
#include "record.hpp"

#include "../ckf/ckf_ops.hpp"
#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"

#include <cmath>
#include <optional>
#include <utility>

namespace vexel::py {

Ref ckf_predict_custom(CkfInstance& self, PyObject* const* args) {
  PyObject* fx = args[0];
  CkfState& s = self.state;
  const double dt = given(args[1]) ? arg_double(args[1], "dt") : s.dt;
  PyObject* fx_args = given(args[2]) ? arg_tuple(args[2], "fx_args") : nullptr;

  // 1. Only a per-call dt can be non-finite: the stored one is checked on entry.
  if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));
  // 2. Points of the current (x, P); a factorisation failure changes nothing.
  PointSet points = unwrap(cubature_points(s.x, s.P));
  // 3. One call of fx over all points.
  DMatrix Y = call_model_vectorized(fx, points.X, /*pass_dt=*/true, fx_args, s.dim_x, dt);
  // 4. The jitter is recorded only once fx has succeeded.
  record_jitter_overwrite(s.jitter, points.jitter);
  // 5-8. Mean, covariance plus Q, prior.
  commit_prediction(s, std::move(Y));
  return none();
}

Ref ckf_update(CkfInstance& self, PyObject* const* args) {
  CkfState& s = self.state;
  DVector z;
  DMatrix R_eff;
  PyObject* hx = args[1];
  PyObject* hx_args = nullptr;
  {
    // The argument arrays are copied and their read borrows released before
    // hx runs, so the callback may do anything with them.
    ArrayIn z_in = arg_array(args[0], 1, "z");
    std::optional<ArrayIn> r_in;
    if (given(args[2])) r_in = arg_array(args[2], 2, "r");
    if (given(args[3])) hx_args = arg_tuple(args[3], "hx_args");

    // 1-2. The measurement: length, contiguity, then finiteness.
    z = pyarray1_to_dvector(z_in, s.dim_z, "z");
    require_finite_measurement(z);
    // 3. The noise of this update.  A NaN or infinity in it would spread into
    // x and P through S and the gain, so it is refused like a stored R.
    if (r_in) {
      R_eff = pyarray2_to_dmatrix(*r_in, s.dim_z, s.dim_z, "R");
      require_finite(R_eff, "R");
    } else {
      R_eff = s.R;
    }
  }
  // 4. Points of the current (x, P).
  PointSet points = unwrap(cubature_points(s.x, s.P));
  // 5. One call of hx over all points.
  DMatrix Z = call_model_vectorized(hx, points.X, /*pass_dt=*/false, hx_args, s.dim_z, 0.0);
  // 6. Jitter accounting; from here on only the inverse can fail.
  record_jitter_overwrite(s.jitter, points.jitter);
  // 7-16.
  unwrap(update_from_points(s, std::move(points.X), std::move(Z), z, R_eff));
  return none();
}

Ref ckf_clear_update_diagnostics(CkfInstance& self) {
  clear_update_diagnostics(self.state);
  return none();
}

Ref ckf_copy(CkfInstance& self) {
  CkfState twin = self.state;
  return new_instance(g_ckf_class.type, std::move(twin));
}

Ref ckf_record_step(CkfInstance& self, PyObject* const* args) {
  const std::uint64_t i = arg_u64(args[0], "i");
  PyObject* out = arg_tuple(args[1], "out");
  const CkfState& s = self.state;
  record_row(i, out, s.x_post, s.P_post, s.x_prior, s.P_prior, s.log_likelihood, s.nis);
  return none();
}

}  // namespace vexel::py
