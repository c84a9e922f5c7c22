// State of the square-root cubature Kalman filter.
//
// The filter never stores a covariance: it keeps lower-triangular Cholesky
// factors (state, process noise, measurement noise, innovation, prior and
// posterior) and propagates them directly, so the implied covariances stay
// symmetric and positive semidefinite by construction.  Covariances exist
// only at the Python boundary, as products L L^T.
//
// The two time-consuming steps each call a Python model once in their middle,
// so each is split into the pure parts before and after that call; the module
// layer runs the callback in between.  Nothing here includes Python.h.
#pragma once

#include "../kernels/factorization.hpp"
#include "../kernels/linalg.hpp"
#include "../kernels/result.hpp"

#include <cstdint>
#include <limits>

namespace vexel {

struct SrckfState {
  Index dim_x = 0;
  Index dim_z = 0;
  double dt = 0.0;

  DVector x;             // current state mean
  DMatrix chol_P;        // lower factor of the current state covariance
  DMatrix chol_Q;        // lower factor of the process noise
  DMatrix chol_R;        // lower factor of the default measurement noise
  DMatrix S_innov;       // lower factor of the last innovation covariance
  DMatrix K;             // gain of the last update
  DVector y;             // innovation of the last update
  DVector z;             // measurement of the last update
  DVector z_pred;        // predicted measurement of the last update
  DVector x_prior;       // mean after the last prediction
  DMatrix chol_P_prior;  // factor after the last prediction
  DVector x_post;        // mean after the last update
  DMatrix chol_P_post;   // factor after the last update

  double log_likelihood = std::numeric_limits<double>::quiet_NaN();
  double likelihood = std::numeric_limits<double>::quiet_NaN();
  double mahalanobis = std::numeric_limits<double>::quiet_NaN();
  double nis = std::numeric_limits<double>::quiet_NaN();
  JitterStats jitter;  // recorded with record_jitter_max (the square-root rule)
  std::uint64_t singular_innovation_count = 0;
  std::uint64_t downdate_fallback_count = 0;

  /// Zero means, identity factors, a zero gain and NaN diagnostics.  Fails
  /// with "dim_x and dim_z must be positive", then "dt must be finite", then
  /// MemoryError when the storage cannot exist.
  static Result<SrckfState> create(std::uint64_t dim_x, std::uint64_t dim_z, double dt);

  /// Zero the jitter fields and both failure counters.
  void reset_jitter_counters();

  /// Factor a covariance once with stable_cholesky and store the factor in
  /// `factor` (one of chol_P, chol_Q, chol_R); jitter is recorded with the
  /// square-root rule.  On failure nothing changes.
  Status assign_covariance(DMatrix& factor, const DMatrix& cov);

  // --- Prediction: points, then fx on them (module layer), then commit.

  /// The 2n cubature points of (x, chol_P), chol_P used as given.
  DMatrix cubature_points() const;

  /// Predicted mean and factor from the propagated points (2n by n, finite):
  /// the weighted, centred points stacked on chol_Q^T go through one QR.
  /// Fails with "prediction produced non-finite state" when the new mean or
  /// factor is not finite (an overflow); on failure nothing changes.
  Status finish_prediction(const DMatrix& propagated);

  // --- Update: noise factor, points, hx on them (module layer), then finish.

  /// Start an update: reset last_jitter, then the measurement-noise factor of
  /// this update, chol_R or the factor of r (jitter recorded).  Only
  /// last_jitter changes when the factorisation fails.
  Result<DMatrix> begin_update(const DMatrix* r);

  /// Finish an update with the validated measurement z, the points the model
  /// saw and its output Zm (2n by m).  Fails with RuntimeError "SR-CKF
  /// innovation factor singular during gain solve" (counted), when the
  /// covariance-space fallback cannot be factored with the factorisation's
  /// error, or with "update produced non-finite state" when the new mean or
  /// factor is not finite; after any failure x, chol_P, every update field
  /// and (except for the counted one) every counter keep their values.
  Status finish_update(const DVector& z_meas, const DMatrix& points, const DMatrix& Zm, const DMatrix& Rf);

  /// A skipped measurement: clear the innovation fields and diagnostics and
  /// make the posterior equal the current state.  Cannot fail.
  void clear_update_diagnostics();
};

/// The covariance L L^T of a stored factor (a general product, no
/// symmetrisation).  Cannot fail.
DMatrix factor_product(const DMatrix& L);

}  // namespace vexel
