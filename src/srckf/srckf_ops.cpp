// The steps of the square-root filter: points from the stored factor,
// prediction and update through one QR each, covariance assignment and the
// skipped measurement (see srckf_ops.hpp).
#include "srckf_ops.hpp"

#include "../kernels/cubature.hpp"
#include "../kernels/qr.hpp"
#include "../kernels/triangular.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace vexel {

namespace {

/// Weight of one centred point in a square-root stack: 1 / sqrt(point count),
/// so that the stack's A^T A carries the cubature weight 1 / (2n).
double root_weight(Index points) { return 1.0 / std::sqrt(static_cast<double>(points)); }

/// The QR operand [w (Y - centre); factor^T]: the weighted deviations of the
/// point rows stacked on the transpose of a noise factor, so that its
/// A^T A = w^2 sum (y_k - centre)(y_k - centre)^T + factor factor^T.
DMatrix stack_on_factor(const DMatrix& Y, const DVector& centre, double w, const DMatrix& factor) {
  const Index pts = Y.rows();
  const Index k = Y.cols();
  DMatrix A(pts + k, k);
  for (Index c = 0; c < k; ++c) {
    double* a = A.col(c).data();
    const double* y = Y.col(c).data();
    const double yc = centre.coeff(c);
    for (Index i = 0; i < pts; ++i) a[i] = w * (y[i] - yc);
    for (Index r = 0; r < k; ++r) a[pts + r] = factor.coeff(c, r);
  }
  return A;
}

bool has_upper_entries(const DMatrix& F) {
  for (Index j = 1; j < F.cols(); ++j) {
    const double* fj = F.col(j).data();
    for (Index i = 0; i < j; ++i) {
      if (fj[i] != 0.0) return true;
    }
  }
  return false;
}

/// A lower-triangular factor with the same product as F.  The filter's own
/// factors are lower triangular already; a factor assigned through `set` may
/// not be, and the downdates read only the diagonal and below, so such a
/// factor is re-triangularised first: the QR of F^T gives L with
/// L L^T = F F^T.
DMatrix lower_factor_of(const DMatrix& F) {
  if (!has_upper_entries(F)) return F;
  const Index n = F.rows();
  Result<DMatrix> L = qr_to_lower_factor(F.transpose(), n);
  if (!L) internal_failure("square factor triangularises", __FILE__, __LINE__);
  return std::move(L).value();
}

}  // namespace

DMatrix factor_product(const DMatrix& L) {
  DMatrix P(L.rows(), L.rows());
  P.noalias() = L * L.transpose();
  return P;
}

Status assign_covariance(SrckfState& s, DMatrix& factor, const DMatrix& cov) {
  Result<CholeskyFactor> f = stable_cholesky(cov);
  if (!f) return f.take_error();
  record_jitter_max(s.jitter, f.value().jitter);
  factor = std::move(f.value().L);
  return Status::success();
}

DMatrix cubature_points(const SrckfState& s) { return cubature_points_from_factor(s.x, s.chol_P); }

Status commit_prediction(SrckfState& s, const DMatrix& propagated) {
  const Index n = s.dim_x;
  const Index pts = 2 * n;
  if (propagated.rows() != pts || propagated.cols() != n) {
    internal_failure("propagated point set is 2n by n", __FILE__, __LINE__);
  }

  // 1. Predicted mean: the equally weighted mean of the propagated points.
  DVector x_pred = row_mean(propagated, n);

  // 2. Stack the weighted deviations on chol_Q^T, so that
  //    A^T A = (1/2n) sum (p_k - x_pred)(p_k - x_pred)^T + chol_Q chol_Q^T.
  DMatrix A = stack_on_factor(propagated, x_pred, root_weight(pts), s.chol_Q);

  // 3. One QR gives the predicted factor; no covariance is formed, so the
  //    prediction never needs jitter.
  Result<DMatrix> L = qr_to_lower_factor(std::move(A), n);
  if (!L) return L.take_error();
  // An overflow in the model is a failure, not a state to carry on from.
  if (!x_pred.allFinite() || !L.value().allFinite()) return non_finite_prediction();

  // 4. Commit.
  s.x = std::move(x_pred);
  s.chol_P = std::move(L).value();
  s.x_prior = s.x;
  s.chol_P_prior = s.chol_P;
  s.jitter.last_jitter = 0.0;
  return Status::success();
}

Result<DMatrix> begin_update(SrckfState& s, const DMatrix* r) {
  // From here on last_jitter describes this update.
  s.jitter.last_jitter = 0.0;
  if (r == nullptr) return DMatrix(s.chol_R);
  // The per-call noise serves this update only: chol_R is not touched.
  Result<CholeskyFactor> f = stable_cholesky(*r);
  if (!f) return f.take_error();
  record_jitter_max(s.jitter, f.value().jitter);
  return std::move(f.value().L);
}

Status update_from_points(SrckfState& s, const DMatrix& points, const DMatrix& Zm, const DVector& z_meas,
                          const DMatrix& Rf) {
  const Index n = s.dim_x;
  const Index m = s.dim_z;
  const Index pts = 2 * n;
  if (z_meas.size() != m || points.rows() != pts || points.cols() != n || Zm.rows() != pts || Zm.cols() != m ||
      Rf.rows() != m || Rf.cols() != m) {
    internal_failure("update operands have the filter's shapes", __FILE__, __LINE__);
  }
  const double w = root_weight(pts);

  // 1. Predicted measurement.
  DVector zp = row_mean(Zm, m);

  // 2. B = [w (Z - z_pred); Rf^T], so that B^T B = Pzz + Rf Rf^T.
  DMatrix B = stack_on_factor(Zm, zp, w, Rf);

  // 3. Weighted state deviations, centred on the mean that generated the
  //    points, and the cross covariance, kept transposed (m by n) as the
  //    right-hand side of the gain solves: Pxz^T = Zc^T X.
  DMatrix X(pts, n);
  for (Index c = 0; c < n; ++c) {
    double* xc = X.col(c).data();
    const double* p = points.col(c).data();
    const double mean = s.x.coeff(c);
    for (Index k = 0; k < pts; ++k) xc[k] = w * (p[k] - mean);
  }
  DMatrix gain(m, n);
  gain.noalias() = B.topRows(pts).transpose() * X;

  // 4. Innovation factor S (S S^T = Pzz) from one QR.
  Result<DMatrix> Sr = qr_to_lower_factor(std::move(B), m);
  if (!Sr) return Sr.take_error();
  DMatrix S = std::move(Sr).value();

  // 5. Gain by two triangular solves: S Y = Pxz^T, S^T W = Y, K = W^T.
  if (!forward_substitute(S, gain) || !back_substitute_transposed(S, gain)) {
    saturating_increment(s.singular_innovation_count);
    return Error::runtime("SR-CKF innovation factor singular during gain solve");
  }
  DMatrix Kn = gain.transpose();

  // 6. Innovation and posterior mean (committed only once the posterior
  //    factor exists, so that a failure below leaves the prior in place).
  DVector yn = z_meas - zp;
  DVector xn = corrected_mean(s.x, Kn, yn);

  // 7. U = K S, so that U U^T = K Pzz K^T is what the posterior loses.
  DMatrix U(n, m);
  U.noalias() = Kn * S;

  // 8. Posterior factor by m rank-one downdates of the prior factor (each
  //    destroys its column of U, which serves as the working vector).
  DMatrix L = lower_factor_of(s.chol_P);
  bool downdated = true;
  for (Index j = 0; j < m; ++j) {
    if (!cholesky_downdate_in_place(L, U.col(j))) {
      downdated = false;
      break;
    }
  }

  // 9. A downdate that loses positive definiteness (a very informative
  //    measurement can do this through rounding) falls back to covariance
  //    space: P_post = chol_P chol_P^T - U U^T, symmetrised and factored.
  double fallback_jitter = 0.0;
  if (!downdated) {
    U.noalias() = Kn * S;
    DMatrix P_post = factor_product(s.chol_P);
    DMatrix UUt(n, n);
    UUt.noalias() = U * U.transpose();
    P_post -= UUt;
    symmetrize_in_place(P_post);
    Result<CholeskyFactor> f = stable_cholesky(P_post);
    if (!f) return f.take_error();
    fallback_jitter = f.value().jitter;
    L = std::move(f.value().L);
  }
  // An overflow fails like the fallback's own factorisation above: before
  // any counter or field changes.
  if (!xn.allFinite() || !L.allFinite()) return non_finite_update();
  if (!downdated) {
    record_jitter_max(s.jitter, fallback_jitter);
    saturating_increment(s.downdate_fallback_count);
  }

  // 10. Likelihood terms straight from the innovation factor: S v = y gives
  //     the squared Mahalanobis distance, the diagonal of S the determinant.
  DMatrix v(m, 1);
  v.col(0) = yn;
  forward_substitute(S, v);  // cannot fail: S has no zero on its diagonal here
  double maha2 = 0.0;
  for (Index i = 0; i < m; ++i) maha2 += v.coeff(i, 0) * v.coeff(i, 0);
  if (maha2 < 0.0) maha2 = 0.0;
  bool degenerate = false;
  double half_logdet = 0.0;
  for (Index i = 0; i < m; ++i) {
    const double d = S.coeff(i, i);
    if (!(std::isfinite(d) && d > 0.0)) {
      degenerate = true;
      break;
    }
    half_logdet += std::log(d);
  }
  const double logdet = 2.0 * half_logdet;

  // 11. Commit.
  if (degenerate || maha2 == std::numeric_limits<double>::infinity()) {
    s.log_likelihood = -std::numeric_limits<double>::infinity();
    s.likelihood = 0.0;
    s.nis = std::numeric_limits<double>::quiet_NaN();
    s.mahalanobis = std::numeric_limits<double>::quiet_NaN();
  } else {
    s.log_likelihood = -0.5 * (maha2 + (static_cast<double>(m) * kLn2Pi + logdet));
    s.likelihood = std::exp(s.log_likelihood);
    s.nis = maha2;
    s.mahalanobis = std::sqrt(maha2);
  }
  s.x = std::move(xn);
  s.chol_P = std::move(L);
  s.z = z_meas;
  s.z_pred = std::move(zp);
  s.K = std::move(Kn);
  s.y = std::move(yn);
  s.S_innov = std::move(S);
  s.x_post = s.x;
  s.chol_P_post = s.chol_P;
  return Status::success();
}

void clear_update_diagnostics(SrckfState& s) {
  s.clear_common_diagnostics();
  s.S_innov.setIdentity();
  s.chol_P_post = s.chol_P;
}

}  // namespace vexel
