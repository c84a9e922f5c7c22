// Pointer-based forms of the plain Cholesky factorisation and of the first
// two stages of the innovation inverse, for the batch routines' hot loops.
//
// They run exactly the algorithms of factorization.cpp (same loop orders,
// same failure criteria: a pivot that is not > 0.0 for Cholesky, an exactly
// zero determinant or LU pivot for the general inverse) on column-major
// square matrices held in caller-owned storage, so that a fixed-size step
// allocates nothing.  The size is a template parameter when it is known at
// compile time (N > 0, loops unrolled by the compiler) and a run-time
// argument otherwise (N <= 0).  Input and output storage never overlap
// (__restrict), so intermediate values can stay in registers.
#pragma once

#include "linalg.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace vexel::small {

template <int N>
constexpr Index dim(Index n) {
  return N > 0 ? static_cast<Index>(N) : n;
}

/// Plain Cholesky of the n x n column-major matrix A into L.  The lower
/// triangle of L receives the factor; its strict upper triangle holds a copy
/// of A's, which nothing reads (copying whole columns is the fastest way to
/// fill L).  The factor depends only on the lower triangle of A.  False as
/// soon as a pivot is not a finite number strictly greater than 0.0 (zero,
/// negative, NaN and +inf pivots fail: an overflowed pivot would give a
/// factor whose inverse is silently zero).
template <int N>
inline bool cholesky_lower(const double* __restrict A, double* __restrict L, Index n_rt) {
  const Index n = dim<N>(n_rt);
  for (Index i = 0; i < n * n; ++i) L[i] = A[i];
  // Left-looking, column by column: column j receives the contributions of
  // columns 0..j-1 in that order, then its pivot is tested and the part
  // below the diagonal is divided by the new diagonal entry.
  for (Index j = 0; j < n; ++j) {
    double* wj = L + j * n;
    for (Index k = 0; k < j; ++k) {
      const double* wk = L + k * n;
      const double ljk = wk[j];
      for (Index i = j; i < n; ++i) wj[i] -= wk[i] * ljk;
    }
    const double p = wj[j];
    if (!(p > 0.0 && p < std::numeric_limits<double>::infinity())) return false;
    const double ljj = std::sqrt(p);
    wj[j] = ljj;
    for (Index i = j + 1; i < n; ++i) wj[i] /= ljj;
  }
  return true;
}

/// Inverse of L L^T (L from cholesky_lower) into out, by solving
/// L L^T X = I column by column: forward substitution (skipping the zero
/// entries of the identity above the diagonal), then back substitution.
/// Every column sees exactly the operations, in the order, of a
/// column-at-a-time solve; the loops over the columns are innermost so that
/// the independent divisions of different columns overlap in the pipeline.
template <int N>
inline void cholesky_inverse_from_factor(const double* __restrict L, double* __restrict out, Index n_rt) {
  const Index n = dim<N>(n_rt);
  for (Index c = 0; c < n; ++c) {
    for (Index i = 0; i < n; ++i) out[i + c * n] = (i == c) ? 1.0 : 0.0;
  }
  // Forward: column c starts at row c (its entries above are zero).
  for (Index k = 0; k < n; ++k) {
    const double* lk = L + k * n;
    for (Index c = 0; c <= k; ++c) {
      double* b = out + c * n;
      const double bk = b[k] / lk[k];
      b[k] = bk;
      for (Index i = k + 1; i < n; ++i) b[i] -= lk[i] * bk;
    }
  }
  // Backward.
  for (Index k = n - 1; k >= 0; --k) {
    const double* lk = L + k * n;
    for (Index c = 0; c < n; ++c) {
      double* b = out + c * n;
      double s = b[k];
      for (Index i = k + 1; i < n; ++i) s -= lk[i] * b[i];
      b[k] = s / lk[k];
    }
  }
}

namespace detail {

inline bool inverse_1x1(const double* S, double* out) {
  const double a = S[0];
  if (a == 0.0) return false;
  out[0] = 1.0 / a;
  return true;
}

inline bool inverse_2x2(const double* S, double* out) {
  const double a = S[0], b = S[2];
  const double c = S[1], d = S[3];
  const double ad = a * d;
  const double bc = b * c;
  const double det = ad - bc;
  if (det == 0.0) return false;
  const double id = 1.0 / det;
  out[0] = d * id;
  out[2] = -b * id;
  out[1] = -c * id;
  out[3] = a * id;
  return true;
}

inline bool inverse_3x3(const double* S, double* out) {
  auto s = [S](int i, int j) { return S[i + 3 * j]; };
  const double a00 = s(0, 0), a01 = s(0, 1), a02 = s(0, 2);
  const double a10 = s(1, 0), a11 = s(1, 1), a12 = s(1, 2);
  const double a20 = s(2, 0), a21 = s(2, 1), a22 = s(2, 2);
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
  // Inverse = transpose of the cofactor matrix over the determinant.
  out[0 + 3 * 0] = c00 * id;
  out[1 + 3 * 0] = c01 * id;
  out[2 + 3 * 0] = c02 * id;
  out[0 + 3 * 1] = c10 * id;
  out[1 + 3 * 1] = c11 * id;
  out[2 + 3 * 1] = c12 * id;
  out[0 + 3 * 2] = c20 * id;
  out[1 + 3 * 2] = c21 * id;
  out[2 + 3 * 2] = c22 * id;
  return true;
}

inline bool inverse_4x4(const double* S, double* out) {
  auto s = [S](int i, int j) { return S[i + 4 * j]; };
  const double a00 = s(0, 0), a01 = s(0, 1), a02 = s(0, 2), a03 = s(0, 3);
  const double a10 = s(1, 0), a11 = s(1, 1), a12 = s(1, 2), a13 = s(1, 3);
  const double a20 = s(2, 0), a21 = s(2, 1), a22 = s(2, 2), a23 = s(2, 3);
  const double a30 = s(3, 0), a31 = s(3, 1), a32 = s(3, 2), a33 = s(3, 3);
  // Laplace expansion by complementary 2x2 minors of the top (s*) and
  // bottom (c*) row pairs.
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
  auto o = [out](int i, int j) -> double& { return out[i + 4 * j]; };
  o(0, 0) = ((a11 * c5 - a12 * c4) + a13 * c3) * id;
  o(0, 1) = ((a02 * c4 - a01 * c5) - a03 * c3) * id;
  o(0, 2) = ((a31 * s5 - a32 * s4) + a33 * s3) * id;
  o(0, 3) = ((a22 * s4 - a21 * s5) - a23 * s3) * id;
  o(1, 0) = ((a12 * c2 - a10 * c5) - a13 * c1) * id;
  o(1, 1) = ((a00 * c5 - a02 * c2) + a03 * c1) * id;
  o(1, 2) = ((a32 * s2 - a30 * s5) - a33 * s1) * id;
  o(1, 3) = ((a20 * s5 - a22 * s2) + a23 * s1) * id;
  o(2, 0) = ((a10 * c4 - a11 * c2) + a13 * c0) * id;
  o(2, 1) = ((a01 * c2 - a00 * c4) - a03 * c0) * id;
  o(2, 2) = ((a30 * s4 - a31 * s2) + a33 * s0) * id;
  o(2, 3) = ((a21 * s2 - a20 * s4) - a23 * s0) * id;
  o(3, 0) = ((a11 * c1 - a10 * c3) - a12 * c0) * id;
  o(3, 1) = ((a00 * c3 - a01 * c1) + a02 * c0) * id;
  o(3, 2) = ((a31 * s1 - a30 * s3) - a32 * s0) * id;
  o(3, 3) = ((a20 * s3 - a21 * s1) + a22 * s0) * id;
  return true;
}

/// LU with partial pivoting (largest absolute value in the column, the first
/// one on ties; whole rows swapped), then the inverse by solving L U X = P I
/// column by column.  `work` holds n * n doubles, `perm` n indices.  False
/// only when a pivot of U is exactly 0.0.
inline bool inverse_lu(const double* S, double* out, Index n, double* work, Index* perm) {
  double* A = work;
  for (Index i = 0; i < n * n; ++i) A[i] = S[i];
  for (Index i = 0; i < n; ++i) perm[i] = i;
  for (Index k = 0; k < n; ++k) {
    double* ak = A + k * n;
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
      for (Index j = 0; j < n; ++j) std::swap(A[k + j * n], A[p + j * n]);
      std::swap(perm[k], perm[p]);
    }
    const double pivot = ak[k];
    for (Index i = k + 1; i < n; ++i) ak[i] /= pivot;
    for (Index j = k + 1; j < n; ++j) {
      double* aj = A + j * n;
      const double ukj = aj[k];
      for (Index i = k + 1; i < n; ++i) aj[i] -= ak[i] * ukj;
    }
  }
  for (Index c = 0; c < n; ++c) {
    double* b = out + c * n;
    for (Index k = 0; k < n; ++k) b[k] = (perm[k] == c) ? 1.0 : 0.0;
    for (Index k = 0; k < n; ++k) {
      const double* lk = A + k * n;
      const double bk = b[k];
      for (Index i = k + 1; i < n; ++i) b[i] -= lk[i] * bk;
    }
    for (Index k = n - 1; k >= 0; --k) {
      const double* uk = A + k * n;
      const double bk = b[k] / uk[k];
      b[k] = bk;
      for (Index i = 0; i < k; ++i) b[i] -= uk[i] * bk;
    }
  }
  return true;
}

}  // namespace detail

/// General inverse of the n x n column-major S into out: closed cofactor
/// forms for sizes 1 to 4, LU with partial pivoting from 5 on (scratch of
/// n * n doubles and n indices supplied by the caller).
inline bool general_inverse(const double* S, double* out, Index n, double* work, Index* perm) {
  switch (n) {
    case 0:
      return true;
    case 1:
      return detail::inverse_1x1(S, out);
    case 2:
      return detail::inverse_2x2(S, out);
    case 3:
      return detail::inverse_3x3(S, out);
    case 4:
      return detail::inverse_4x4(S, out);
    default:
      return detail::inverse_lu(S, out, n, work, perm);
  }
}

}  // namespace vexel::small
