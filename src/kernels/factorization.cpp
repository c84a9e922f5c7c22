#include "factorization.hpp"

#include "small_factorization.hpp"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace vexel {

namespace {

void require_square(const DMatrix& A) {
  if (A.rows() != A.cols()) internal_failure("matrix is square", __FILE__, __LINE__);
}

/// Copies the lower triangle of A into W (resized to A's size) and zeroes the
/// strict upper triangle, so the factorisation never sees the upper part.
void copy_lower(const DMatrix& A, DMatrix& W) {
  const Index n = A.rows();
  W.resize(n, n);
  for (Index j = 0; j < n; ++j) {
    double* wj = W.col(j).data();
    const double* aj = A.col(j).data();
    for (Index i = 0; i < j; ++i) wj[i] = 0.0;
    for (Index i = j; i < n; ++i) wj[i] = aj[i];
  }
}

/// The pointer kernels with the size fixed at compile time for the small
/// sizes filters mostly have (the same operations in the same order, so the
/// same bits, only unrolled), at run time beyond.
bool cholesky_lower_sized(const double* A, double* L, Index n) {
  switch (n) {
    case 1: return small::cholesky_lower<1>(A, L, n);
    case 2: return small::cholesky_lower<2>(A, L, n);
    case 3: return small::cholesky_lower<3>(A, L, n);
    case 4: return small::cholesky_lower<4>(A, L, n);
    case 5: return small::cholesky_lower<5>(A, L, n);
    case 6: return small::cholesky_lower<6>(A, L, n);
    default: return small::cholesky_lower<0>(A, L, n);
  }
}

void cholesky_inverse_sized(const double* L, double* out, Index n) {
  switch (n) {
    case 1: return small::cholesky_inverse_from_factor<1>(L, out, n);
    case 2: return small::cholesky_inverse_from_factor<2>(L, out, n);
    case 3: return small::cholesky_inverse_from_factor<3>(L, out, n);
    case 4: return small::cholesky_inverse_from_factor<4>(L, out, n);
    default: return small::cholesky_inverse_from_factor<0>(L, out, n);
  }
}

/// Plain Cholesky of the lower triangle of W into L (strict upper triangle
/// of L set to 0.0).  The algorithm itself is the pointer-based kernel the
/// batch routines also use, so every path factors identically.
bool cholesky_into(const DMatrix& W, DMatrix& L) {
  const Index n = W.rows();
  L.resize(n, n);
  if (!cholesky_lower_sized(W.data(), L.data(), n)) return false;
  for (Index j = 1; j < n; ++j) {
    for (Index i = 0; i < j; ++i) L.coeffRef(i, j) = 0.0;
  }
  return true;
}

constexpr double kPinvThreshold = 1e-12;

}  // namespace

bool plain_cholesky(const DMatrix& A, DMatrix& L) {
  DMatrix W;
  return plain_cholesky(A, W, L);
}

bool plain_cholesky(const DMatrix& A, DMatrix& W, DMatrix& L) {
  require_square(A);
  copy_lower(A, W);
  return cholesky_into(W, L);
}

Result<CholeskyFactor> stable_cholesky(const DMatrix& A) {
  FactorWork work;
  CholeskyFactor f;
  if (!stable_cholesky(A, work, f.L, f.jitter)) return Error::no_factor();
  return f;
}

bool stable_cholesky(const DMatrix& A, FactorWork& work, DMatrix& L, double& jitter) {
  require_square(A);
  const Index n = A.rows();
  DMatrix& W = work.W;
  // The factorisation reads only the lower triangle, so the first attempt
  // needs no copy of A; the jittered ones do.
  if (cholesky_into(A, L)) {
    jitter = 0.0;
    return true;
  }

  // Jitter proportional to each diagonal entry, so badly scaled states get a
  // relative nudge; unusable entries (zero, negative, non-finite) get s * 1.0.
  DVector& d = work.d;
  d.resize(n);
  double dmax = 0.0;
  for (Index i = 0; i < n; ++i) {
    const double a = A.coeff(i, i);
    const double di = (std::isfinite(a) && a > 0.0) ? a : 1.0;
    d.coeffRef(i) = di;
    if (i == 0 || di > dmax) dmax = di;
  }

  double s = 1e-12;
  for (int attempt = 0; attempt < 7; ++attempt) {
    copy_lower(A, W);
    for (Index i = 0; i < n; ++i) W.coeffRef(i, i) = s * d.coeff(i) + A.coeff(i, i);
    if (cholesky_into(W, L)) {
      jitter = s * dmax;
      return true;
    }
    s *= 10.0;
  }
  return false;
}

bool cholesky_inverse(const DMatrix& S, DMatrix& out) {
  FactorWork work;
  return cholesky_inverse(S, work, out);
}

bool cholesky_inverse(const DMatrix& S, FactorWork& work, DMatrix& out) {
  if (!plain_cholesky(S, work.W, work.L)) return false;
  const Index n = S.rows();
  out.resize(n, n);
  cholesky_inverse_sized(work.L.data(), out.data(), n);
  return true;
}

bool general_inverse(const DMatrix& S, DMatrix& out) {
  require_square(S);
  const Index n = S.rows();
  out.resize(n, n);
  // Scratch for the LU path (sizes from 5 on); the closed forms need none.
  std::vector<double> work(n >= 5 ? static_cast<std::size_t>(n * n) : 0);
  std::vector<Index> perm(n >= 5 ? static_cast<std::size_t>(n) : 0);
  return small::general_inverse(S.data(), out.data(), n, work.data(), perm.data());
}

bool pseudo_inverse(const DMatrix& S, DMatrix& out) {
  require_square(S);
  const Index n = S.rows();
  if (n == 0) {
    out.resize(0, 0);
    return true;
  }
  Eigen::JacobiSVD<DMatrix> svd(S, Eigen::ComputeFullU | Eigen::ComputeFullV);
  // The SVD refuses non-finite input and then computes no singular vectors;
  // that is the only way this stage can fail with a fixed, non-negative
  // threshold.
  if (svd.info() != Eigen::Success || !svd.computeU() || !svd.computeV()) return false;
  const DVector& sigma = svd.singularValues();
  DMatrix V = svd.matrixV();
  for (Index j = 0; j < V.cols(); ++j) {
    const double sj = sigma.coeff(j);
    if (sj > kPinvThreshold) {
      V.col(j) *= 1.0 / sj;
    } else {
      V.col(j).setZero();
    }
  }
  out.resize(n, n);
  out.noalias() = V * svd.matrixU().transpose();
  return true;
}

Result<InnovationInverse> invert_innovation(const DMatrix& S) {
  FactorWork work;
  InnovationInverse inv;
  if (!invert_innovation(S, work, inv.SI, inv.used_fallback)) {
    return Error::runtime("failed to invert innovation covariance");
  }
  return inv;
}

bool invert_innovation(const DMatrix& S, FactorWork& work, DMatrix& SI, bool& used_fallback) {
  used_fallback = false;
  if (cholesky_inverse(S, work, SI)) return true;
  used_fallback = true;
  return general_inverse(S, SI) || pseudo_inverse(S, SI);
}

void record_jitter_overwrite(JitterStats& stats, double j) {
  stats.last_jitter = j;
  if (j > 0.0) {
    saturating_increment(stats.jitter_count);
    if (j > stats.max_jitter) stats.max_jitter = j;
  }
}

void record_jitter_max(JitterStats& stats, double j) {
  if (!(j > 0.0)) return;
  // fmax returns the other operand when one is NaN, so a NaN stored value
  // is replaced by j instead of poisoning the maximum.
  stats.last_jitter = std::fmax(stats.last_jitter, j);
  stats.max_jitter = std::fmax(stats.max_jitter, j);
  saturating_increment(stats.jitter_count);
}

}  // namespace vexel
