#include "ckf_ops.hpp"

#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace vexel {

namespace {

/// Equal-weight moment of a centred point set with itself, A^T A times
/// w = 1.0 / rows.  Same formula as `moment(A, A)`, but only the lower
/// triangle is accumulated (a symmetric rank-k product, about half the work)
/// and mirrored, so the result is exactly symmetric.
DMatrix self_moment(const DMatrix& A) {
  const Index r = A.rows();
  const Index c = A.cols();
  const double w = 1.0 / static_cast<double>(r);
  DMatrix M(c, c);
  if (c <= 8) {
    // Small sets: plain column dot products beat the blocked product's setup.
    for (Index j = 0; j < c; ++j) {
      const double* aj = A.col(j).data();
      for (Index i = j; i < c; ++i) {
        const double* ai = A.col(i).data();
        double sum = 0.0;
        for (Index k = 0; k < r; ++k) sum += ai[k] * aj[k];
        M.coeffRef(i, j) = sum;
      }
    }
  } else {
    M.setZero();
    M.selfadjointView<Eigen::Lower>().rankUpdate(A.transpose());
  }
  for (Index j = 0; j < c; ++j) {
    for (Index i = j; i < c; ++i) {
      const double v = M.coeff(i, j) * w;
      M.coeffRef(i, j) = v;
      M.coeffRef(j, i) = v;
    }
  }
  return M;
}

}  // namespace

Status commit_prediction(CkfState& s, DMatrix Y, double jitter) {
  if (Y.cols() != s.dim_x) internal_failure("propagated points have dim_x columns", __FILE__, __LINE__);
  // The new mean is the mean of the propagated points themselves (not the
  // transition applied to the old mean), and the spread is taken about it.
  DVector x_new = row_mean(Y, s.dim_x);
  const DMatrix Yc = centered_rows(std::move(Y), x_new);
  DMatrix P_new = self_moment(Yc);
  // Process noise after the scaling, before the symmetrisation.
  P_new += s.Q;
  symmetrize_in_place(P_new);
  // An overflow in the model is a failure, not a state to carry on from.
  if (!x_new.allFinite() || !P_new.allFinite()) return non_finite_prediction();

  record_jitter_overwrite(s.jitter, jitter);
  s.x = std::move(x_new);
  s.P = std::move(P_new);
  s.x_prior = s.x;
  s.P_prior = s.P;
  return Status::success();
}

Status update_from_points(CkfState& s, DMatrix X, DMatrix Z, const DVector& z, const DMatrix& R_eff,
                          double jitter) {
  const Index n = s.dim_x;
  const Index m = s.dim_z;
  if (X.cols() != n || Z.cols() != m || X.rows() != Z.rows() || z.size() != m || R_eff.rows() != m ||
      R_eff.cols() != m) {
    internal_failure("update operands match the filter's dimensions", __FILE__, __LINE__);
  }

  // Predicted measurement: the mean of the measurement points.
  DVector z_pred = row_mean(Z, m);
  // State deviations are taken about the mean that generated the points,
  // measurement deviations about their own mean.
  const DMatrix Xc = centered_rows(std::move(X), s.x);
  const DMatrix Zc = centered_rows(std::move(Z), z_pred);
  const DMatrix Pxz = moment(Xc, Zc);
  DMatrix S = self_moment(Zc);
  S += R_eff;
  symmetrize_in_place(S);

  // Nothing has been stored yet.  A failed inverse still records the
  // jitter of the points (the update had got that far).
  auto inverse = invert_innovation(S);
  if (!inverse) {
    record_jitter_overwrite(s.jitter, jitter);
    return inverse.take_error();
  }
  InnovationInverse& inv = inverse.value();

  DMatrix K(n, m);
  K.noalias() = Pxz * inv.SI;
  DVector y = z - z_pred;
  DVector x_new = corrected_mean(s.x, K, y);

  // Plain (not Joseph) form: P - (K S) K^T, product K S first; the
  // correction is formed in full and then subtracted.
  DMatrix KS(n, m);
  KS.noalias() = K * S;
  DMatrix KSKt(n, n);
  KSKt.noalias() = KS * K.transpose();
  DMatrix P_new = s.P - KSKt;
  symmetrize_in_place(P_new);
  // An overflow (in hx, S or the gain) fails before any field or counter
  // changes.
  if (!x_new.allFinite() || !P_new.allFinite()) return non_finite_update();

  record_jitter_overwrite(s.jitter, jitter);
  if (inv.used_fallback) saturating_increment(s.singular_innovation_count);
  s.z = z;
  s.z_pred = std::move(z_pred);
  s.K = std::move(K);
  s.y = std::move(y);
  s.S = std::move(S);
  s.SI = std::move(inv.SI);
  s.x = std::move(x_new);
  s.P = std::move(P_new);
  s.x_post = s.x;
  s.P_post = s.P;
  update_likelihood_terms(s);
  return Status::success();
}

void update_likelihood_terms(CkfState& s) {
  const Index m = s.dim_z;
  const DVector& y = s.y;
  const DMatrix& SI = s.SI;

  // d2 = y^T SI y as t = y^T SI, then sum_k y[k] t[k], both in index order.
  double d2 = 0.0;
  for (Index k = 0; k < m; ++k) {
    const double* sik = SI.col(k).data();
    double t = 0.0;
    for (Index i = 0; i < m; ++i) t += y.coeff(i) * sik[i];
    d2 += y.coeff(k) * t;
  }
  // A slightly negative d2 (an indefinite SI) is clamped; NaN stays NaN.
  s.nis = d2 < 0.0 ? 0.0 : d2;
  s.mahalanobis = std::sqrt(s.nis);

  // The log-determinant always comes from a fresh, jitter-free factor of S,
  // even when SI came from a fallback.
  constexpr double kNegInf = -std::numeric_limits<double>::infinity();
  DMatrix L;
  if (!plain_cholesky(s.S, L)) {
    s.log_likelihood = kNegInf;
    s.likelihood = 0.0;
    return;
  }
  double log_sum = 0.0;
  for (Index i = 0; i < m; ++i) {
    const double lii = L.coeff(i, i);
    if (!(std::isfinite(lii) && lii > 0.0)) {
      s.log_likelihood = kNegInf;
      s.likelihood = 0.0;
      return;
    }
    log_sum += std::log(lii);
  }
  const double logdet = 2.0 * log_sum;
  s.log_likelihood = -0.5 * (d2 + (logdet + static_cast<double>(m) * kLn2Pi));
  s.likelihood = std::exp(s.log_likelihood);
}

void clear_update_diagnostics(CkfState& s) {
  s.clear_common_diagnostics();
  s.S.setIdentity();
  s.SI.setIdentity();
  s.P_post = s.P;
}

}  // namespace vexel
