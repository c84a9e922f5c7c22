#include "factorization.hpp"

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

/// Left-looking column Cholesky on the lower triangle of W, in place.  The
/// strict upper triangle must already be zero.  Column j first receives the
/// contributions of columns 0..j-1 (in that order), then its pivot is tested
/// and the part below the diagonal is divided by the new diagonal entry.
/// Fails on the first pivot that is not > 0.0, NaN included.
bool cholesky_lower_in_place(DMatrix& W) {
  const Index n = W.rows();
  for (Index j = 0; j < n; ++j) {
    double* wj = W.col(j).data();
    for (Index k = 0; k < j; ++k) {
      const double* wk = W.col(k).data();
      const double ljk = wk[j];
      for (Index i = j; i < n; ++i) wj[i] -= wk[i] * ljk;
    }
    const double p = wj[j];
    if (!(p > 0.0)) return false;
    const double ljj = std::sqrt(p);
    wj[j] = ljj;
    for (Index i = j + 1; i < n; ++i) wj[i] /= ljj;
  }
  return true;
}

/// Solves L Y = B in place for a lower-triangular L with non-zero diagonal,
/// one right-hand column at a time.  With identity_rhs, column c of B is e_c,
/// whose entries above row c are zero and stay zero, so they are skipped.
void lower_solve_columns(const DMatrix& L, DMatrix& B, bool identity_rhs) {
  const Index n = L.rows();
  for (Index c = 0; c < B.cols(); ++c) {
    double* b = B.col(c).data();
    const Index first = identity_rhs ? c : 0;
    for (Index k = first; k < n; ++k) {
      const double* lk = L.col(k).data();
      const double bk = b[k] / lk[k];
      b[k] = bk;
      for (Index i = k + 1; i < n; ++i) b[i] -= lk[i] * bk;
    }
  }
}

/// Solves L^T W = B in place for a lower-triangular L with non-zero diagonal.
/// Each element follows the scalar back substitution (start from B(k, c),
/// subtract L(i, k) W(i, c) for i = k+1, k+2, ..., divide by L(k, k)), but
/// all right-hand sides advance together on a transposed copy, so the inner
/// loop runs over contiguous memory and vectorises; the rounded result is
/// the same as column by column.
void lower_transposed_solve_columns(const DMatrix& L, DMatrix& B) {
  const Index n = L.rows();
  const Index m = B.cols();
  DMatrix T = B.transpose();  // column k of T is row k of B
  for (Index k = n - 1; k >= 0; --k) {
    double* tk = T.col(k).data();
    const double* lk = L.col(k).data();
    for (Index i = k + 1; i < n; ++i) {
      const double lik = lk[i];
      const double* ti = T.col(i).data();
      for (Index c = 0; c < m; ++c) tk[c] -= lik * ti[c];
    }
    const double d = lk[k];
    for (Index c = 0; c < m; ++c) tk[c] = tk[c] / d;
  }
  B = T.transpose();
}

bool inverse_1x1(const DMatrix& S, DMatrix& out) {
  const double a = S.coeff(0, 0);
  if (a == 0.0) return false;
  out.resize(1, 1);
  out.coeffRef(0, 0) = 1.0 / a;
  return true;
}

bool inverse_2x2(const DMatrix& S, DMatrix& out) {
  const double a = S.coeff(0, 0), b = S.coeff(0, 1);
  const double c = S.coeff(1, 0), d = S.coeff(1, 1);
  const double ad = a * d;
  const double bc = b * c;
  const double det = ad - bc;
  if (det == 0.0) return false;
  const double id = 1.0 / det;
  out.resize(2, 2);
  out.coeffRef(0, 0) = d * id;
  out.coeffRef(0, 1) = -b * id;
  out.coeffRef(1, 0) = -c * id;
  out.coeffRef(1, 1) = a * id;
  return true;
}

bool inverse_3x3(const DMatrix& S, DMatrix& out) {
  const double a00 = S.coeff(0, 0), a01 = S.coeff(0, 1), a02 = S.coeff(0, 2);
  const double a10 = S.coeff(1, 0), a11 = S.coeff(1, 1), a12 = S.coeff(1, 2);
  const double a20 = S.coeff(2, 0), a21 = S.coeff(2, 1), a22 = S.coeff(2, 2);
  // Cofactors C(i, j) of entry (i, j).
  const double c00 = a11 * a22 - a12 * a21;
  const double c01 = a12 * a20 - a10 * a22;
  const double c02 = a10 * a21 - a11 * a20;
  const double det = (a00 * c00 + a01 * c01) + a02 * c02;
  if (det == 0.0) return false;
  const double c10 = a02 * a21 - a01 * a22;
  const double c11 = a00 * a22 - a02 * a20;
  const double c12 = a01 * a20 - a00 * a21;
  const double c20 = a01 * a12 - a02 * a11;
  const double c21 = a02 * a10 - a00 * a12;
  const double c22 = a00 * a11 - a01 * a10;
  const double id = 1.0 / det;
  out.resize(3, 3);
  // Inverse = transpose of the cofactor matrix, divided by the determinant.
  out.coeffRef(0, 0) = c00 * id;
  out.coeffRef(1, 0) = c01 * id;
  out.coeffRef(2, 0) = c02 * id;
  out.coeffRef(0, 1) = c10 * id;
  out.coeffRef(1, 1) = c11 * id;
  out.coeffRef(2, 1) = c12 * id;
  out.coeffRef(0, 2) = c20 * id;
  out.coeffRef(1, 2) = c21 * id;
  out.coeffRef(2, 2) = c22 * id;
  return true;
}

bool inverse_4x4(const DMatrix& S, DMatrix& out) {
  const double a00 = S.coeff(0, 0), a01 = S.coeff(0, 1), a02 = S.coeff(0, 2), a03 = S.coeff(0, 3);
  const double a10 = S.coeff(1, 0), a11 = S.coeff(1, 1), a12 = S.coeff(1, 2), a13 = S.coeff(1, 3);
  const double a20 = S.coeff(2, 0), a21 = S.coeff(2, 1), a22 = S.coeff(2, 2), a23 = S.coeff(2, 3);
  const double a30 = S.coeff(3, 0), a31 = S.coeff(3, 1), a32 = S.coeff(3, 2), a33 = S.coeff(3, 3);
  // 2x2 minors of the top two rows (s*) and of the bottom two rows (c*);
  // every cofactor is a three-term combination of them (Laplace expansion
  // by complementary minors).
  const double s0 = a00 * a11 - a10 * a01;
  const double s1 = a00 * a12 - a10 * a02;
  const double s2 = a00 * a13 - a10 * a03;
  const double s3 = a01 * a12 - a11 * a02;
  const double s4 = a01 * a13 - a11 * a03;
  const double s5 = a02 * a13 - a12 * a03;
  const double c5 = a22 * a33 - a32 * a23;
  const double c4 = a21 * a33 - a31 * a23;
  const double c3 = a21 * a32 - a31 * a22;
  const double c2 = a20 * a33 - a30 * a23;
  const double c1 = a20 * a32 - a30 * a22;
  const double c0 = a20 * a31 - a30 * a21;
  const double det = ((((s0 * c5 - s1 * c4) + s2 * c3) + s3 * c2) - s4 * c1) + s5 * c0;
  if (det == 0.0) return false;
  const double id = 1.0 / det;
  out.resize(4, 4);
  out.coeffRef(0, 0) = ((a11 * c5 - a12 * c4) + a13 * c3) * id;
  out.coeffRef(0, 1) = ((a02 * c4 - a01 * c5) - a03 * c3) * id;
  out.coeffRef(0, 2) = ((a31 * s5 - a32 * s4) + a33 * s3) * id;
  out.coeffRef(0, 3) = ((a22 * s4 - a21 * s5) - a23 * s3) * id;
  out.coeffRef(1, 0) = ((a12 * c2 - a10 * c5) - a13 * c1) * id;
  out.coeffRef(1, 1) = ((a00 * c5 - a02 * c2) + a03 * c1) * id;
  out.coeffRef(1, 2) = ((a32 * s2 - a30 * s5) - a33 * s1) * id;
  out.coeffRef(1, 3) = ((a20 * s5 - a22 * s2) + a23 * s1) * id;
  out.coeffRef(2, 0) = ((a10 * c4 - a11 * c2) + a13 * c0) * id;
  out.coeffRef(2, 1) = ((a01 * c2 - a00 * c4) - a03 * c0) * id;
  out.coeffRef(2, 2) = ((a30 * s4 - a31 * s2) + a33 * s0) * id;
  out.coeffRef(2, 3) = ((a21 * s2 - a20 * s4) - a23 * s0) * id;
  out.coeffRef(3, 0) = ((a11 * c1 - a10 * c3) - a12 * c0) * id;
  out.coeffRef(3, 1) = ((a00 * c3 - a01 * c1) + a02 * c0) * id;
  out.coeffRef(3, 2) = ((a31 * s1 - a30 * s3) - a32 * s0) * id;
  out.coeffRef(3, 3) = ((a20 * s3 - a21 * s1) + a22 * s0) * id;
  return true;
}

/// LU with partial pivoting (largest absolute value in the column, first one
/// on ties), then the inverse by solving LU X = P I column by column.  Fails
/// only when a pivot of U is exactly 0.0.
bool inverse_lu(const DMatrix& S, DMatrix& out) {
  const Index n = S.rows();
  DMatrix A = S;
  std::vector<Index> perm(static_cast<std::size_t>(n));
  for (Index i = 0; i < n; ++i) perm[static_cast<std::size_t>(i)] = i;

  for (Index k = 0; k < n; ++k) {
    double* ak = A.col(k).data();
    Index p = k;
    double best = std::fabs(ak[k]);
    for (Index i = k + 1; i < n; ++i) {
      const double v = std::fabs(ak[i]);
      if (v > best) {
        best = v;
        p = i;
      }
    }
    if (ak[p] == 0.0) return false;
    if (p != k) {
      A.row(k).swap(A.row(p));
      std::swap(perm[static_cast<std::size_t>(k)], perm[static_cast<std::size_t>(p)]);
    }
    const double pivot = ak[k];
    for (Index i = k + 1; i < n; ++i) ak[i] /= pivot;
    // Rank-one update of the trailing block, one contiguous column at a time.
    for (Index j = k + 1; j < n; ++j) {
      double* aj = A.col(j).data();
      const double ukj = aj[k];
      for (Index i = k + 1; i < n; ++i) aj[i] -= ak[i] * ukj;
    }
  }

  out.resize(n, n);
  for (Index c = 0; c < n; ++c) {
    double* b = out.col(c).data();
    // Column c of P I: row k of the permuted identity is e_{perm[k]}.
    for (Index k = 0; k < n; ++k) b[k] = (perm[static_cast<std::size_t>(k)] == c) ? 1.0 : 0.0;
    // Unit lower triangle.
    for (Index k = 0; k < n; ++k) {
      const double* lk = A.col(k).data();
      const double bk = b[k];
      for (Index i = k + 1; i < n; ++i) b[i] -= lk[i] * bk;
    }
    // Upper triangle.
    for (Index k = n - 1; k >= 0; --k) {
      const double* uk = A.col(k).data();
      const double bk = b[k] / uk[k];
      b[k] = bk;
      for (Index i = 0; i < k; ++i) b[i] -= uk[i] * bk;
    }
  }
  return true;
}

/// Singular values above this absolute threshold are inverted, the rest are
/// treated as exact zeros.
constexpr double kPinvThreshold = 1e-12;

}  // namespace

bool plain_cholesky(const DMatrix& A, DMatrix& L) {
  require_square(A);
  copy_lower(A, L);
  return cholesky_lower_in_place(L);
}

Result<CholeskyFactor> stable_cholesky(const DMatrix& A) {
  require_square(A);
  const Index n = A.rows();
  DMatrix W;
  copy_lower(A, W);
  if (cholesky_lower_in_place(W)) return CholeskyFactor{std::move(W), 0.0};

  // Jitter proportional to each diagonal entry, so badly scaled states get a
  // relative nudge; unusable entries (zero, negative, non-finite) get s * 1.0.
  DVector d(n);
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
    if (cholesky_lower_in_place(W)) return CholeskyFactor{std::move(W), s * dmax};
    s *= 10.0;
  }
  return Error::runtime("unable to compute stable Cholesky factor");
}

bool cholesky_inverse(const DMatrix& S, DMatrix& out) {
  DMatrix L;
  if (!plain_cholesky(S, L)) return false;
  const Index n = S.rows();
  out = DMatrix::Identity(n, n);
  lower_solve_columns(L, out, /*identity_rhs=*/true);
  lower_transposed_solve_columns(L, out);
  return true;
}

bool general_inverse(const DMatrix& S, DMatrix& out) {
  require_square(S);
  switch (S.rows()) {
    case 0:
      out.resize(0, 0);
      return true;
    case 1:
      return inverse_1x1(S, out);
    case 2:
      return inverse_2x2(S, out);
    case 3:
      return inverse_3x3(S, out);
    case 4:
      return inverse_4x4(S, out);
    default:
      return inverse_lu(S, out);
  }
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
  DMatrix SI;
  if (cholesky_inverse(S, SI)) return InnovationInverse{std::move(SI), false};
  if (general_inverse(S, SI)) return InnovationInverse{std::move(SI), true};
  if (pseudo_inverse(S, SI)) return InnovationInverse{std::move(SI), true};
  return Error::runtime("failed to invert innovation covariance");
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
