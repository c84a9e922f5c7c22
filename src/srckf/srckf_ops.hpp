// Steps of the square-root filter: covariance assignment, the prediction and
// the update around their model calls, and the skipped measurement.
//
// The two time-consuming steps each call a Python model once in their middle,
// so each is split into the pure parts before and after that call; the
// binding runs the callback in between.  Nothing here includes Python.h.
#pragma once

#include "srckf_state.hpp"

#include "../kernels/linalg.hpp"
#include "../kernels/result.hpp"

namespace vexel {

/// The covariance L L^T of a stored factor (a general product, no
/// symmetrisation).  Cannot fail.
DMatrix factor_product(const DMatrix& L);

/// Factor a covariance once with stable_cholesky and store the factor in
/// `factor` (one of s.chol_P, s.chol_Q, s.chol_R); jitter is recorded with
/// the square-root rule.  On failure nothing changes.
Status assign_covariance(SrckfState& s, DMatrix& factor, const DMatrix& cov);

// --- Prediction: points, then fx on them (binding), then commit.

/// The 2n cubature points of (x, chol_P), chol_P used as given.
DMatrix cubature_points(const SrckfState& s);

/// Predicted mean and factor from the propagated points (2n by n, finite):
/// the weighted, centred points stacked on chol_Q^T go through one QR.
/// Fails with "prediction produced non-finite state" when the new mean or
/// factor is not finite (an overflow); on failure nothing changes.
Status commit_prediction(SrckfState& s, const DMatrix& propagated);

// --- Update: noise factor, points, hx on them (binding), then the update.

/// Start an update: reset last_jitter, then the measurement-noise factor of
/// this update, chol_R or the factor of r (jitter recorded).  Only
/// last_jitter changes when the factorisation fails.
Result<DMatrix> begin_update(SrckfState& s, const DMatrix* r);

/// Finish an update with the points the model saw, its output Zm (2n by m),
/// the validated measurement z and the noise factor Rf of begin_update.
/// Fails with RuntimeError "SR-CKF innovation factor singular during gain
/// solve" (counted), when the covariance-space fallback cannot be factored
/// with the factorisation's error, or with "update produced non-finite
/// state" when the new mean or factor is not finite; after any failure x,
/// chol_P, every update field and (except for the counted one) every counter
/// keep their values.
Status update_from_points(SrckfState& s, const DMatrix& points, const DMatrix& Zm, const DVector& z,
                          const DMatrix& Rf);

/// A skipped measurement: clear the innovation fields and diagnostics and
/// make the posterior equal the current state.  Cannot fail.
void clear_update_diagnostics(SrckfState& s);

}  // namespace vexel
