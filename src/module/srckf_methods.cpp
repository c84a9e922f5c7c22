// SquareRootCubatureKalmanFilter: the steps around the model callbacks of
// predict_custom and update, and the rows record_step writes.
//
// Points come from the stored factor as it is; the prediction and the
// update each end in one QR step of src/srckf, before which nothing is
// committed.
#include "filter_forms.hpp"
#include "record.hpp"

#include "../kit/compiled_models.hpp"

#include "../angles/angles.hpp"
#include "../srckf/srckf_ops.hpp"

namespace vexel::py {

using Form = FilterForm<SrckfState>;

template <>
void Form::predict_with(SrckfState& s, PointModel& fx, double dt, const AngleEntries& angles,
                        StepWork<SrckfState>* /*work*/) {
  const DMatrix points = cubature_points(s);
  DMatrix propagated = evaluate_points(fx, points, dt, s.dim_x, /*pass_dt=*/true);
  angles::unwrap_columns_around_mean(propagated, angles.states);
  unwrap(commit_prediction(s, propagated));
  angles::wrap_entries(s.x, angles.states);
  angles::wrap_entries(s.x_prior, angles.states);
}

template <>
bool Form::release_borrows_before_model() {
  // The z and r arrays stay borrowed until the update ends.
  return false;
}

template <>
void Form::noise_shape_error(SrckfState& s) {
  // A wrong shape is reported once the update has started (last_jitter
  // already reset, like a failing factorisation), while a NaN or infinity is
  // refused before anything changes, as the stored R would have been.
  s.jitter.last_jitter = 0.0;
}

template <>
void Form::update_with(SrckfState& s, PointModel& hx, const DVector& z, const DMatrix* r, const AngleEntries& angles,
                       StepWork<SrckfState>* /*work*/) {
  const DMatrix Rf = unwrap(begin_update(s, r));
  const DMatrix points = cubature_points(s);
  DMatrix Zm = evaluate_points(hx, points, 0.0, s.dim_z, /*pass_dt=*/false);
  angles::unwrap_columns_around(Zm, angles.measurements, z);
  unwrap(update_from_points(s, points, Zm, z, Rf));
  angles::wrap_entries(s.x, angles.states);
  angles::wrap_entries(s.x_post, angles.states);
}

template <>
void Form::record(const SrckfState& s, std::uint64_t i, PyObject* out) {
  const DMatrix P_post = factor_product(s.chol_P_post);
  const DMatrix P_prior = factor_product(s.chol_P_prior);
  record_row(i, out, s.x_post, P_post, s.x_prior, P_prior, s.log_likelihood, s.nis);
}

template <>
void Form::store_step(const SrckfState& s, Index i, const RunRows& rows) {
  const DMatrix P_prior = rows.Ps_prior != nullptr ? factor_product(s.chol_P_prior) : DMatrix();
  const DMatrix P_post = rows.Ps != nullptr ? factor_product(s.chol_P_post) : DMatrix();
  rows.store(i, s.x_post, P_post, s.x_prior, P_prior, s.log_likelihood, s.nis);
}

}  // namespace vexel::py
