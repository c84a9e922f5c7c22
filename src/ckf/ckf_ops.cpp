#include "ckf_ops.hpp"

#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"
#include "../kernels/small_factorization.hpp"
#include "../kernels/small_moments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

namespace vexel {

namespace {

/// nis, mahalanobis, log_likelihood and likelihood from the stored y, SI
/// and S, given the plain Cholesky factor of S (nullptr: S has none, the
/// log-likelihood is -inf).
void likelihood_terms(CkfState& s, const DMatrix* factor);

/// Equal-weight moment of a centred point set with itself, A^T A times
/// w = 1.0 / rows.  Same formula as `moment(A, A)`, but only the lower
/// triangle is accumulated (a symmetric rank-k product, about half the work)
/// and mirrored, so the result is exactly symmetric.
void self_moment(const DMatrix& A, DMatrix& M) {
  const Index r = A.rows();
  const Index c = A.cols();
  const double w = 1.0 / static_cast<double>(r);
  M.resize(c, c);
  // Small sets: plain sums over the points (all of them at once, see
  // small_moments.hpp) beat the blocked product's setup.
  const bool small_set = small::with_small_count(c, [&](auto count) {
    small::lower_gram<decltype(count)::value>(A.data(), r, M.data());
  });
  if (!small_set) {
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
}

/// The lower triangle of the moment (scaled by w) plus the noise N, made
/// exactly symmetric, into the column-major C x C matrix out: each entry
/// first the moment's value plus N's (as `+=` adds them), then each
/// off-diagonal pair (upper + lower) * 0.5, as symmetrize_in_place forms it.
template <int C>
inline void add_noise_symmetrized(const double (&g)[C][C], double w, const double* __restrict N,
                                  double* __restrict out) {
  for (int j = 0; j < C; ++j) {
    out[j * C + j] = g[j][j] * w + N[j * C + j];
    for (int i = j + 1; i < C; ++i) {
      const double v = g[i][j] * w;
      const double lower = v + N[j * C + i];
      const double upper = v + N[i * C + j];
      const double sym = (upper + lower) * 0.5;
      out[j * C + i] = sym;
      out[i * C + j] = sym;
    }
  }
}

/// The prediction's moments for a state size known at compile time: the
/// mean of the r propagated points Y (r by N, column-major), their moment
/// about it plus Q, symmetrised.  Every value comes from the operations, in
/// the order, of the general path (row_mean, center_rows, self_moment, the
/// addition of Q, symmetrize_in_place), so the bits are the same; the fixed
/// size keeps the sums in registers and the centred points are never
/// stored.  Y is only read.
template <int N, bool PointRows = false>
void prediction_moments(const double* __restrict Y, Index r, const double* __restrict Q, double* __restrict mean,
                        double* __restrict P) {
  // Component i of point k: Y is r by N column-major, or with PointRows
  // one row per point (C order, as a model writes its images).
  auto at = [Y, r](Index k, int i) { return PointRows ? Y[k * N + i] : Y[i * r + k]; };
  const double w = 1.0 / static_cast<double>(r);
  double sums[N] = {};
  for (Index k = 0; k < r; ++k) {
    for (int j = 0; j < N; ++j) sums[j] += at(k, j);
  }
  for (int j = 0; j < N; ++j) mean[j] = sums[j] * w;
  // The whole square is summed although only its lower triangle is read:
  // rows of g that the compiler keeps in whole vector registers are cheaper
  // than the triangle, whose ragged rows it spills (a 5 x 5 moment took
  // three times as long).  g[i][j] and g[j][i] hold the same sum.
  double g[N][N] = {};
  for (Index k = 0; k < r; ++k) {
    double a[N];
    for (int i = 0; i < N; ++i) a[i] = at(k, i) - mean[i];
    for (int j = 0; j < N; ++j) {
      for (int i = 0; i < N; ++i) g[j][i] += a[i] * a[j];
    }
  }
  add_noise_symmetrized<N>(g, w, Q, P);
}

/// The update's moments for sizes known at compile time (the moment of X
/// and Z goes through cross_gram, N <= 8 and M <= 4, in the general path
/// too): the predicted measurement (mean of Z), the cross moment Pxz of X
/// about x and Z about that mean, and S, the moment of Z plus R,
/// symmetrised.  The same operations in the same order as row_mean,
/// center_rows, moment, self_moment, the addition of R and
/// symmetrize_in_place; X and Z are only read.
template <int N, int M>
void update_moments(const double* __restrict X, const double* __restrict Z, Index r, const double* __restrict x,
                    const double* __restrict R, double* __restrict z_mean, double* __restrict Pxz,
                    double* __restrict S) {
  const double w = 1.0 / static_cast<double>(r);
  double sums[M] = {};
  for (Index k = 0; k < r; ++k) {
    for (int j = 0; j < M; ++j) sums[j] += Z[j * r + k];
  }
  for (int j = 0; j < M; ++j) z_mean[j] = sums[j] * w;
  // Sums kept in whole rows, as in prediction_moments.
  double cross[M][N] = {};
  double g[M][M] = {};
  for (Index k = 0; k < r; ++k) {
    double a[N];
    double b[M];
    for (int i = 0; i < N; ++i) a[i] = X[i * r + k] - x[i];
    for (int j = 0; j < M; ++j) b[j] = Z[j * r + k] - z_mean[j];
    for (int j = 0; j < M; ++j) {
      for (int i = 0; i < N; ++i) cross[j][i] += a[i] * b[j];
    }
    for (int j = 0; j < M; ++j) {
      for (int i = 0; i < M; ++i) g[j][i] += b[i] * b[j];
    }
  }
  for (int j = 0; j < M; ++j) {
    for (int i = 0; i < N; ++i) Pxz[j * N + i] = cross[j][i] * w;
  }
  add_noise_symmetrized<M>(g, w, R, S);
}

/// The update's correction for sizes known at compile time, from the cross
/// moment Pxz (N x M), the inverse SI and S (M x M), the innovation y, and
/// the current x and P: the gain K = Pxz SI, x_new = x + K y and P_new =
/// P - (K S) K^T symmetrised (all column-major).  Each entry of a product
/// is 0.0 plus its terms in the order of the inner index, as the general
/// path's products form it, then the same additions and symmetrisation.
template <int N, int M>
void update_correction(const double* __restrict Pxz, const double* __restrict SI, const double* __restrict S,
                       const double* __restrict y, const double* __restrict x, const double* __restrict P,
                       double* __restrict K, double* __restrict x_new, double* __restrict P_new) {
  // Columns of the products whole (the inner loops run down a column).
  double k[M][N] = {};
  for (int c = 0; c < M; ++c) {
    for (int d = 0; d < M; ++d) {
      const double b = SI[c * M + d];
      for (int i = 0; i < N; ++i) k[c][i] += Pxz[d * N + i] * b;
    }
  }
  double ky[N] = {};
  double ks[M][N] = {};
  for (int d = 0; d < M; ++d) {
    for (int i = 0; i < N; ++i) ky[i] += k[d][i] * y[d];
  }
  for (int c = 0; c < M; ++c) {
    for (int d = 0; d < M; ++d) {
      const double b = S[c * M + d];
      for (int i = 0; i < N; ++i) ks[c][i] += k[d][i] * b;
    }
  }
  double kskt[N][N] = {};
  for (int c = 0; c < N; ++c) {
    for (int d = 0; d < M; ++d) {
      const double b = k[d][c];
      for (int i = 0; i < N; ++i) kskt[c][i] += ks[d][i] * b;
    }
  }
  for (int c = 0; c < M; ++c) {
    for (int i = 0; i < N; ++i) K[c * N + i] = k[c][i];
  }
  for (int i = 0; i < N; ++i) x_new[i] = x[i] + ky[i];
  for (int c = 0; c < N; ++c) {
    P_new[c * N + c] = P[c * N + c] - kskt[c][c];
    for (int i = c + 1; i < N; ++i) {
      const double lower = P[c * N + i] - kskt[c][i];
      const double upper = P[i * N + c] - kskt[i][c];
      const double sym = (upper + lower) * 0.5;
      P_new[c * N + i] = sym;
      P_new[i * N + c] = sym;
    }
  }
}

/// The innovation inverse's first stage (cholesky_inverse) for M = 1..4,
/// without its general set-up: the plain factor of S's lower triangle into
/// L (strict upper triangle 0.0) and the inverse from it into SI, by the
/// same kernels.  False, with L and SI unspecified, when the factorisation
/// fails or M is larger (the general chain then decides, from its first
/// stage again).
bool small_cholesky_inverse(const DMatrix& S, DMatrix& L, DMatrix& SI) {
  const Index m = S.rows();
  if (m < 1 || m > 4 || S.cols() != m) return false;
  L.resize(m, m);
  SI.resize(m, m);
  auto run = [&](auto size) {
    constexpr int M = decltype(size)::value;
    // The kernel reads only the lower triangle; its strict upper triangle
    // copies S's, and is cleared as the general path clears it.
    if (!small::cholesky_lower<M>(S.data(), L.data(), M)) return false;
    for (int j = 1; j < M; ++j) {
      for (int i = 0; i < j; ++i) L.data()[j * M + i] = 0.0;
    }
    small::cholesky_inverse_from_factor<M>(L.data(), SI.data(), M);
    return true;
  };
  switch (m) {
    case 1: return run(std::integral_constant<int, 1>());
    case 2: return run(std::integral_constant<int, 2>());
    case 3: return run(std::integral_constant<int, 3>());
    default: return run(std::integral_constant<int, 4>());
  }
}

/// commit_prediction's small-state path (n <= 8): the moments of the r
/// points Y (column-major, or one row per point with PointRows), checked
/// finite, then committed.  False (nothing done) for larger states.
template <bool PointRows>
bool small_prediction(CkfState& s, const double* Y, Index r, double jitter, Status& result) {
  return small::with_small_count(s.dim_x, [&](auto size) {
    constexpr int N = decltype(size)::value;
    double mean[N];
    double P[N * N];
    prediction_moments<N, PointRows>(Y, r, s.Q.data(), mean, P);
    if (!all_finite(mean, N) || !all_finite(P, N * N)) {
      result = non_finite_prediction();
      return;
    }
    record_jitter_overwrite(s.jitter, jitter);
    std::copy(mean, mean + N, s.x.data());
    std::copy(mean, mean + N, s.x_prior.data());
    std::copy(P, P + N * N, s.P.data());
    std::copy(P, P + N * N, s.P_prior.data());
  });
}

/// f(N, M) as integral constants for N in 1..8 and M in 1..4; false
/// (nothing called) for other sizes.
template <class F>
bool with_update_sizes(Index n, Index m, F&& f) {
  if (m < 1 || m > 4) return false;
  return small::with_small_count(n, [&](auto nn) {
    switch (m) {
      case 1: f(nn, std::integral_constant<int, 1>()); break;
      case 2: f(nn, std::integral_constant<int, 2>()); break;
      case 3: f(nn, std::integral_constant<int, 3>()); break;
      default: f(nn, std::integral_constant<int, 4>()); break;
    }
  });
}

}  // namespace

Status commit_prediction_rows(CkfState& s, const double* Y, double jitter, CkfWork& w) {
  const Index n = s.dim_x;
  Status result = Status::success();
  if (small_prediction<true>(s, Y, 2 * n, jitter, result)) return result;
  // Larger states: the general path on a column-major copy.
  DMatrix points(2 * n, n);
  for (Index k = 0; k < 2 * n; ++k) {
    for (Index i = 0; i < n; ++i) points.coeffRef(k, i) = Y[k * n + i];
  }
  return commit_prediction(s, points, jitter, w);
}

Status commit_prediction(CkfState& s, DMatrix Y, double jitter) {
  CkfWork work;
  return commit_prediction(s, Y, jitter, work);
}

Status commit_prediction(CkfState& s, DMatrix& Y, double jitter, CkfWork& w) {
  if (Y.cols() != s.dim_x) internal_failure("propagated points have dim_x columns", __FILE__, __LINE__);
  // Small states: the same arithmetic in one pass, straight into the state.
  Status small_result = Status::success();
  if (small_prediction<false>(s, Y.data(), Y.rows(), jitter, small_result)) return small_result;

  // The new mean is the mean of the propagated points themselves (not the
  // transition applied to the old mean), and the spread is taken about it.
  row_mean(Y, s.dim_x, w.mean);
  center_rows(Y, w.mean);
  self_moment(Y, w.P_new);
  // Process noise after the scaling, before the symmetrisation.
  w.P_new += s.Q;
  symmetrize_in_place(w.P_new);
  // An overflow in the model is a failure, not a state to carry on from.
  if (!w.mean.allFinite() || !w.P_new.allFinite()) return non_finite_prediction();

  record_jitter_overwrite(s.jitter, jitter);
  s.x.swap(w.mean);
  s.P.swap(w.P_new);
  s.x_prior = s.x;
  s.P_prior = s.P;
  return Status::success();
}

Status update_from_points(CkfState& s, DMatrix X, DMatrix Z, const DVector& z, const DMatrix& R_eff,
                          double jitter) {
  CkfWork work;
  return update_from_points(s, X, Z, z, R_eff, jitter, work);
}

Status update_from_points(CkfState& s, DMatrix& X, DMatrix& Z, const DVector& z, const DMatrix& R_eff,
                          double jitter, CkfWork& w) {
  const Index n = s.dim_x;
  const Index m = s.dim_z;
  if (X.cols() != n || Z.cols() != m || X.rows() != Z.rows() || z.size() != m || R_eff.rows() != m ||
      R_eff.cols() != m) {
    internal_failure("update operands match the filter's dimensions", __FILE__, __LINE__);
  }

  // Predicted measurement: the mean of the measurement points.  State
  // deviations are taken about the mean that generated the points,
  // measurement deviations about their own mean.  Small sizes: the same
  // arithmetic in one pass over the points.
  w.mean.resize(m);
  w.Pxz.resize(n, m);
  w.S.resize(m, m);
  const bool small_sizes = with_update_sizes(n, m, [&](auto nn, auto mm) {
    update_moments<decltype(nn)::value, decltype(mm)::value>(X.data(), Z.data(), X.rows(), s.x.data(),
                                                             R_eff.data(), w.mean.data(), w.Pxz.data(),
                                                             w.S.data());
  });
  if (!small_sizes) {
    row_mean(Z, m, w.mean);
    center_rows(X, s.x);
    center_rows(Z, w.mean);
    moment(X, Z, w.Pxz);
    self_moment(Z, w.S);
    w.S += R_eff;
    symmetrize_in_place(w.S);
  }

  // Nothing has been stored yet.  A failed inverse still records the
  // jitter of the points (the update had got that far).
  bool used_fallback = false;
  if (!small_cholesky_inverse(w.S, w.factor.L, w.SI) && !invert_innovation(w.S, w.factor, w.SI, used_fallback)) {
    record_jitter_overwrite(s.jitter, jitter);
    return Error::runtime("failed to invert innovation covariance");
  }

  w.K.resize(n, m);
  w.y = z - w.mean;
  w.x_new.resize(n);
  w.P_new.resize(n, n);
  // The correction is formed in full and then added (not accumulated into x
  // term by term), and likewise for P below.  Plain (not Joseph) form:
  // P - (K S) K^T, product K S first; each entry of a product summed over
  // its inner index in order, from 0.0.  At the sizes filters mostly have,
  // the whole correction runs as one fixed-size kernel.
  const bool small_correction = with_update_sizes(n, m, [&](auto nn, auto mm) {
    update_correction<decltype(nn)::value, decltype(mm)::value>(w.Pxz.data(), w.SI.data(), w.S.data(), w.y.data(),
                                                                s.x.data(), s.P.data(), w.K.data(), w.x_new.data(),
                                                                w.P_new.data());
  });
  if (!small_correction) {
    w.Ky.resize(n);
    w.KS.resize(n, m);
    w.KSKt.resize(n, n);
    w.K.noalias() = w.Pxz * w.SI;
    w.Ky.noalias() = w.K * w.y;
    w.KS.noalias() = w.K * w.S;
    w.KSKt.noalias() = w.KS * w.K.transpose();
    w.x_new = s.x + w.Ky;
    w.P_new = s.P - w.KSKt;
    symmetrize_in_place(w.P_new);
  }
  // An overflow (in hx, S or the gain) fails before any field or counter
  // changes.
  if (!all_finite(w.x_new.data(), n) || !all_finite(w.P_new.data(), n * n)) return non_finite_update();

  record_jitter_overwrite(s.jitter, jitter);
  if (used_fallback) saturating_increment(s.singular_innovation_count);
  s.z = z;
  s.z_pred.swap(w.mean);
  s.K.swap(w.K);
  s.y.swap(w.y);
  s.S.swap(w.S);
  s.SI.swap(w.SI);
  s.x.swap(w.x_new);
  s.P.swap(w.P_new);
  s.x_post = s.x;
  s.P_post = s.P;
  // The inverse's first stage took the plain factor of this very S (no
  // jitter), which is the one the log-determinant needs; it failed exactly
  // when a fallback stage was used.
  likelihood_terms(s, used_fallback ? nullptr : &w.factor.L);
  return Status::success();
}

void update_likelihood_terms(CkfState& s) {
  FactorWork work;
  update_likelihood_terms(s, work);
}

void update_likelihood_terms(CkfState& s, FactorWork& work) {
  likelihood_terms(s, plain_cholesky(s.S, work.W, work.L) ? &work.L : nullptr);
}

namespace {

void likelihood_terms(CkfState& s, const DMatrix* factor) {
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
  if (factor == nullptr) {
    s.log_likelihood = kNegInf;
    s.likelihood = 0.0;
    return;
  }
  const DMatrix& L = *factor;
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

}  // namespace

void clear_update_diagnostics(CkfState& s) {
  s.clear_common_diagnostics();
  s.S.setIdentity();
  s.SI.setIdentity();
  s.P_post = s.P;
}

}  // namespace vexel
