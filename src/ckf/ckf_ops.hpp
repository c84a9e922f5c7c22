// Steps of the covariance-form filter that every prediction and update path
// shares, whatever produced the propagated points (a Python fx/hx, a linear
// model, the built-in AHRS observation model).
//
// These functions never touch Python.  The only one that can fail is the
// update, and only at the innovation inverse; it then leaves x, P and every
// innovation field exactly as they were.
#pragma once

#include "ckf_state.hpp"

#include "../kernels/factorization.hpp"
#include "../kernels/linalg.hpp"
#include "../kernels/result.hpp"

namespace vexel {

/// Temporaries of a prediction or update, for callers that step many
/// filters of one size: kept between calls, they make the steps
/// allocation-free (results are swapped into the state, so both keep their
/// storage).
struct CkfWork {
  FactorWork factor;
  DVector mean, y, Ky, x_new;
  DMatrix P_new, Pxz, S, SI, K, KS, KSKt;
};

/// Commits a prediction from the propagated point set Y (2n by n, rows in
/// cubature order): x = row mean of Y; P = moment of Y centred on that mean,
/// plus Q, symmetrised; x_prior and P_prior become copies of them.  Cannot
/// fail.  Y is consumed (pass an rvalue to avoid a copy).
void commit_prediction(CkfState& s, DMatrix Y);
/// The same with caller-owned temporaries; Y is centred in place.
void commit_prediction(CkfState& s, DMatrix& Y, CkfWork& work);

/// Measurement update from the state points X (2n by n, drawn from the
/// current x and P) and their images Z (2n by m) for the measurement z and
/// the noise R_eff.  Writes x, P, z, z_pred, y, K, S, SI, x_post, P_post, the
/// likelihood terms and, when the inverse needed a fallback,
/// singular_innovation_count.  Fails only with "failed to invert innovation
/// covariance", leaving the state unchanged.  Jitter accounting is the
/// caller's (it happens before this step).
Status update_from_points(CkfState& s, DMatrix X, DMatrix Z, const DVector& z, const DMatrix& R_eff);
/// The same with caller-owned temporaries; X and Z are centred in place.
Status update_from_points(CkfState& s, DMatrix& X, DMatrix& Z, const DVector& z, const DMatrix& R_eff,
                          CkfWork& work);

/// nis, mahalanobis, log_likelihood and likelihood from the stored y, SI and
/// S.  A non-positive-definite S gives log_likelihood -inf and likelihood
/// 0.0 (nis and mahalanobis still come from SI).  Cannot fail.
void update_likelihood_terms(CkfState& s);
void update_likelihood_terms(CkfState& s, FactorWork& work);

/// A skipped measurement: y, z_pred and K zero, z all NaN, S and SI
/// identities, the four diagnostics NaN, and the posterior equal to the
/// current x and P.  Cannot fail.
void clear_update_diagnostics(CkfState& s);

}  // namespace vexel
