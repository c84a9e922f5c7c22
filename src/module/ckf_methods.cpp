// CubatureKalmanFilter: the steps around the model callbacks of
// predict_custom and update, and the rows record_step writes.
//
// Points come from a jittered Cholesky factor of the stored P; every check
// that can fail runs before the first field is written, and the numerical
// work is left to src/ckf.
#include "filter_forms.hpp"
#include "record.hpp"

#include "../kit/compiled_models.hpp"

#include "../angles/angles.hpp"
#include "../ckf/ckf_ops.hpp"
#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"

#include <typeinfo>
#include <utility>

namespace vexel::py {

using Form = FilterForm<CkfState>;

template <>
void Form::predict_with(CkfState& s, PointModel& fx, double dt, const AngleEntries& angles, StepWork<CkfState>* work) {
  if (work != nullptr) {
    // The same steps on kept temporaries (a whole run): the same bits.
    // The points go straight into the model's buffer, point by point.
    double jitter = 0.0;
    if (!stable_cholesky(s.P, work->work.factor, work->L, jitter)) {
      unwrap(cubature_points(s.x, s.P));  // its error, changing nothing
    }
    const Index n = s.dim_x;
    cubature_points_from_factor(s.x, work->L, fx.points(2 * n, n), n, 1);
    if (work->keep == nullptr && angles.states.empty() && typeid(fx) == typeid(CompiledCall)) {
      // Nothing to unwrap and nothing kept: the moments read the images
      // where a compiled fx writes them, one row per point (n by 2n as a
      // column-major matrix), with no transposing copy.
      DMatrix& rows = work->images;
      rows.resize(n, 2 * n);
      fx.evaluate(dt, n, rows.data());
      if (!vexel::all_finite(rows.data(), rows.size())) {
        Index bad = 0;
        while (vexel::all_finite(rows.data() + bad * n, n)) ++bad;
        fail(non_finite_model_output(/*pass_dt=*/true, bad));
      }
      unwrap(commit_prediction_rows(s, rows.data(), jitter, work->work));
      return;  // no angle states to wrap
    }
    evaluate_drawn(fx, dt, n, /*pass_dt=*/true, work->images);
    if (work->keep != nullptr) {
      work->keep->factor = work->L;
      work->keep->images = work->images;
    }
    angles::unwrap_columns_around_mean(work->images, angles.states);
    unwrap(commit_prediction(s, work->images, jitter, work->work));
  } else {
    // Points of the current (x, P); a factorisation failure changes nothing.
    PointSet points = unwrap(cubature_points(s.x, s.P));
    DMatrix Y = evaluate_points(fx, points.X, dt, s.dim_x, /*pass_dt=*/true);
    // Propagated angles on one side of the seam, so that their mean and
    // spread are those on the circle.
    angles::unwrap_columns_around_mean(Y, angles.states);
    // Mean and covariance of the propagated points, plus Q, become the
    // prior; the jitter is recorded only once fx has succeeded and the new
    // state is finite.
    unwrap(commit_prediction(s, std::move(Y), points.jitter));
  }
  angles::wrap_entries(s.x, angles.states);
  angles::wrap_entries(s.x_prior, angles.states);
}

template <>
bool Form::release_borrows_before_model() {
  // The arrays are copied already, so hx may do anything with them.
  return true;
}

template <>
void Form::noise_shape_error(CkfState& /*s*/) {}

template <>
void Form::update_with(CkfState& s, PointModel& hx, const DVector& z, const DMatrix* r, const AngleEntries& angles,
                       StepWork<CkfState>* work) {
  const DMatrix& R_eff = r ? *r : s.R;
  if (work != nullptr) {
    double jitter = 0.0;
    if (!stable_cholesky(s.P, work->work.factor, work->L, jitter)) {
      unwrap(cubature_points(s.x, s.P));  // its error, changing nothing
    }
    // The points are drawn twice, one column per component for the moments
    // and straight into hx's buffer, one row per point: the same arithmetic
    // both times, and cheaper than a transposing copy.
    cubature_points_from_factor(s.x, work->L, work->X);
    cubature_points_from_factor(s.x, work->L, hx.points(2 * s.dim_x, s.dim_x), s.dim_x, 1);
    evaluate_drawn(hx, 0.0, s.dim_z, /*pass_dt=*/false, work->Z);
    angles::unwrap_columns_around(work->Z, angles.measurements, z);
    unwrap(update_from_points(s, work->X, work->Z, z, R_eff, jitter, work->work));
  } else {
    PointSet points = unwrap(cubature_points(s.x, s.P));
    DMatrix Z = evaluate_points(hx, points.X, 0.0, s.dim_z, /*pass_dt=*/false);
    angles::unwrap_columns_around(Z, angles.measurements, z);
    // Gain, posterior and likelihood terms, with the jitter accounting; it
    // fails at the inverse (the jitter recorded) or on a non-finite new
    // state (nothing changed).
    unwrap(update_from_points(s, std::move(points.X), std::move(Z), z, R_eff, points.jitter));
  }
  angles::wrap_entries(s.x, angles.states);
  angles::wrap_entries(s.x_post, angles.states);
}

template <>
void Form::record(const CkfState& s, std::uint64_t i, PyObject* out) {
  record_row(i, out, s.x_post, s.P_post, s.x_prior, s.P_prior, s.log_likelihood, s.nis);
}

template <>
void Form::store_step(const CkfState& s, Index i, const RunRows& rows) {
  rows.store(i, s.x_post, s.P_post, s.x_prior, s.P_prior, s.log_likelihood, s.nis);
}

}  // namespace vexel::py
