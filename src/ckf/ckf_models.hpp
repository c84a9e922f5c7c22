// Callback-free operations of the covariance-form filter: linear and
// standard-model predictions, the attitude and heading (AHRS) update of a
// quaternion state from one accelerometer and one magnetometer reading, and
// the renormalisation of that quaternion.
//
// Every operation validates before it writes: a returned error means the
// state is as it was, except where a comment says which jitter fields an
// operation has already recorded.
#pragma once

#include "ckf_state.hpp"

#include "../kernels/linalg.hpp"
#include "../kernels/result.hpp"

#include <string>

namespace vexel {

/// Transition matrix of a standard model for this filter's dim_x and stored
/// dt, or the model / layout / divisibility ValueError.
Result<DMatrix> standard_transition(const CkfState& s, const std::string& model_type, const std::string& layout);

/// Closed-form linear prediction: x = F x, P = (F P) F^T + Q symmetrised,
/// prior = the new (x, P).  F must be dim_x by dim_x.  Never factors P, never
/// touches the jitter fields; fails only with "prediction produced
/// non-finite state" (an overflow), changing nothing.
Status predict_linear_closed_form(CkfState& s, const DMatrix& F);

/// Cubature prediction through a linear F: the 2n points of (x, P) mapped by
/// F and their sample moments plus Q.  Records the factorisation's jitter.
/// Fails with "unable to compute stable Cholesky factor" or "prediction
/// produced non-finite state", changing nothing.
Status predict_linear_through_points(CkfState& s, const DMatrix& F);

/// The checks that come before the measurement is looked at: dimensions 4
/// and 6, then both noise variances finite and strictly positive.
Status check_ahrs_setup(const CkfState& s, double sigma_acc2, double sigma_mag2);

/// AHRS measurement update with a finite, length-6 measurement z (accel in
/// 0..2, magnetometer in 3..5) whose setup passed check_ahrs_setup.  Stores
/// the direction-normalised measurement in z and the noise diagonal in R.
/// Fails on a zero or overflowing half (ValueError), on an unfactorable P
/// or a non-finite new state (nothing changed) or on an uninvertible
/// innovation covariance (only the jitter fields changed).
Status update_ahrs(CkfState& s, const DVector& z, double sigma_acc2, double sigma_mag2);

/// Divides each quaternion component of x by the quaternion's norm and copies
/// the result to x_post.  Fails on dim_x != 4 or a zero/non-finite norm.
Status normalize_quaternion_state(CkfState& s);

}  // namespace vexel
