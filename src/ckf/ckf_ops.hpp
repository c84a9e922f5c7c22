// Steps of the covariance-form filter that every prediction and update path
// shares, whatever produced the propagated points (a Python fx/hx, a linear
// model, the built-in AHRS observation model).
//
// These functions never touch Python.  A prediction or an update whose new
// state is not finite fails and leaves the filter exactly as it was; the
// update can also fail at the innovation inverse, which leaves x, P and
// every innovation field as they were (only the jitter is recorded).
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
/// cubature order) drawn with the jitter j: x = row mean of Y; P = moment of
/// Y centred on that mean, plus Q, symmetrised; x_prior and P_prior become
/// copies of them, and j is recorded.  Fails with "prediction produced
/// non-finite state", changing nothing, when the new x or P is not finite.
/// Y is consumed (pass an rvalue to avoid a copy).
Status commit_prediction(CkfState& s, DMatrix Y, double jitter);
/// The same with caller-owned temporaries; Y is used as scratch (its
/// contents afterwards are unspecified).
Status commit_prediction(CkfState& s, DMatrix& Y, double jitter, CkfWork& work);

/// The same from the 2n propagated points one row each (C order, as a
/// model writes its images), read where they are; Y is not changed.
Status commit_prediction_rows(CkfState& s, const double* Y, double jitter, CkfWork& work);

/// Measurement update from the state points X (2n by n, drawn from the
/// current x and P with the jitter j) and their images Z (2n by m) for the
/// measurement z and the noise R_eff.  Records j, writes x, P, z, z_pred, y,
/// K, S, SI, x_post, P_post, the likelihood terms and, when the inverse
/// needed a fallback, singular_innovation_count.  Fails with "failed to
/// invert innovation covariance" (only j recorded) or with "update produced
/// non-finite state" (nothing changed).
Status update_from_points(CkfState& s, DMatrix X, DMatrix Z, const DVector& z, const DMatrix& R_eff,
                          double jitter);
/// The same with caller-owned temporaries; X and Z are used as scratch
/// (their contents afterwards are unspecified).
Status update_from_points(CkfState& s, DMatrix& X, DMatrix& Z, const DVector& z, const DMatrix& R_eff,
                          double jitter, CkfWork& work);

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
