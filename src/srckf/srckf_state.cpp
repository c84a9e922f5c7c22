#include "srckf_state.hpp"

#include "../kernels/cubature.hpp"
#include "../kernels/qr.hpp"
#include "../kernels/storage.hpp"
#include "../kernels/triangular.hpp"

#include <cmath>
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

Result<SrckfState> SrckfState::create(std::uint64_t dim_x, std::uint64_t dim_z, double dt) {
  if (dim_x == 0 || dim_z == 0) return Error::value("dim_x and dim_z must be positive");
  if (!std::isfinite(dt)) return Error::value("dt must be finite");
  // x, x_prior, x_post; y, z, z_pred; chol_P, chol_Q, chol_P_prior,
  // chol_P_post; chol_R, S_innov; K.
  Status room = check_storage({{dim_x, 3}, {dim_z, 3}, {dim_x, dim_x}, {dim_x, dim_x}, {dim_x, dim_x},
                               {dim_x, dim_x}, {dim_z, dim_z}, {dim_z, dim_z}, {dim_x, dim_z}});
  if (!room.ok()) return room.error();

  const auto n = static_cast<Index>(dim_x);
  const auto m = static_cast<Index>(dim_z);
  SrckfState s;
  s.dim_x = n;
  s.dim_z = m;
  s.dt = dt;
  s.x = DVector::Zero(n);
  s.chol_P = DMatrix::Identity(n, n);
  s.chol_Q = DMatrix::Identity(n, n);
  s.chol_R = DMatrix::Identity(m, m);
  s.S_innov = DMatrix::Identity(m, m);
  s.K = DMatrix::Zero(n, m);
  s.y = DVector::Zero(m);
  s.z = DVector::Zero(m);
  s.z_pred = DVector::Zero(m);
  s.x_prior = DVector::Zero(n);
  s.chol_P_prior = DMatrix::Identity(n, n);
  s.x_post = DVector::Zero(n);
  s.chol_P_post = DMatrix::Identity(n, n);
  return s;
}

void SrckfState::reset_jitter_counters() {
  jitter = JitterStats{};
  singular_innovation_count = 0;
  downdate_fallback_count = 0;
}

Status SrckfState::assign_covariance(DMatrix& factor, const DMatrix& cov) {
  Result<CholeskyFactor> f = stable_cholesky(cov);
  if (!f) return f.take_error();
  record_jitter_max(jitter, f.value().jitter);
  factor = std::move(f.value().L);
  return Status::success();
}

DMatrix SrckfState::cubature_points() const { return cubature_points_from_factor(x, chol_P); }

Status SrckfState::finish_prediction(const DMatrix& propagated) {
  const Index n = dim_x;
  const Index pts = 2 * n;
  if (propagated.rows() != pts || propagated.cols() != n) {
    internal_failure("propagated point set is 2n by n", __FILE__, __LINE__);
  }

  // 1. Predicted mean: the equally weighted mean of the propagated points.
  DVector x_pred = row_mean(propagated, n);

  // 2. Stack the weighted deviations on chol_Q^T, so that
  //    A^T A = (1/2n) sum (p_k - x_pred)(p_k - x_pred)^T + chol_Q chol_Q^T.
  DMatrix A = stack_on_factor(propagated, x_pred, root_weight(pts), chol_Q);

  // 3. One QR gives the predicted factor; no covariance is formed, so the
  //    prediction never needs jitter.
  Result<DMatrix> L = qr_to_lower_factor(std::move(A), n);
  if (!L) return L.take_error();
  // An overflow in the model is a failure, not a state to carry on from.
  if (!x_pred.allFinite() || !L.value().allFinite()) return non_finite_prediction();

  // 4. Commit.
  x = std::move(x_pred);
  chol_P = std::move(L).value();
  x_prior = x;
  chol_P_prior = chol_P;
  jitter.last_jitter = 0.0;
  return Status::success();
}

Result<DMatrix> SrckfState::begin_update(const DMatrix* r) {
  // From here on last_jitter describes this update.
  jitter.last_jitter = 0.0;
  if (r == nullptr) return DMatrix(chol_R);
  // The per-call noise serves this update only: chol_R is not touched.
  Result<CholeskyFactor> f = stable_cholesky(*r);
  if (!f) return f.take_error();
  record_jitter_max(jitter, f.value().jitter);
  return std::move(f.value().L);
}

Status SrckfState::finish_update(const DVector& z_meas, const DMatrix& points, const DMatrix& Zm,
                                 const DMatrix& Rf) {
  const Index n = dim_x;
  const Index m = dim_z;
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
    const double mean = x.coeff(c);
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
    saturating_increment(singular_innovation_count);
    return Error::runtime("SR-CKF innovation factor singular during gain solve");
  }
  DMatrix Kn = gain.transpose();

  // 6. Innovation and posterior mean (committed only once the posterior
  //    factor exists, so that a failure below leaves the prior in place).
  //    The correction K y is formed in full and then added: accumulating
  //    the product into x would let the product kernel regroup the sum.
  DVector yn = z_meas - zp;
  DVector Ky(n);
  Ky.noalias() = Kn * yn;
  DVector xn = x + Ky;

  // 7. U = K S, so that U U^T = K Pzz K^T is what the posterior loses.
  DMatrix U(n, m);
  U.noalias() = Kn * S;

  // 8. Posterior factor by m rank-one downdates of the prior factor (each
  //    destroys its column of U, which serves as the working vector).
  DMatrix L = lower_factor_of(chol_P);
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
    DMatrix P_post = factor_product(chol_P);
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
    record_jitter_max(jitter, fallback_jitter);
    saturating_increment(downdate_fallback_count);
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
    log_likelihood = -std::numeric_limits<double>::infinity();
    likelihood = 0.0;
    nis = std::numeric_limits<double>::quiet_NaN();
    mahalanobis = std::numeric_limits<double>::quiet_NaN();
  } else {
    log_likelihood = -0.5 * (maha2 + (static_cast<double>(m) * kLn2Pi + logdet));
    likelihood = std::exp(log_likelihood);
    nis = maha2;
    mahalanobis = std::sqrt(maha2);
  }
  x = std::move(xn);
  chol_P = std::move(L);
  z = z_meas;
  z_pred = std::move(zp);
  K = std::move(Kn);
  y = std::move(yn);
  S_innov = std::move(S);
  x_post = x;
  chol_P_post = chol_P;
  return Status::success();
}

void SrckfState::clear_update_diagnostics() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  y.setZero();
  z.setConstant(nan);
  z_pred.setZero();
  S_innov.setIdentity();
  K.setZero();
  log_likelihood = nan;
  likelihood = nan;
  mahalanobis = nan;
  nis = nan;
  x_post = x;
  chol_P_post = chol_P;
}

}  // namespace vexel
