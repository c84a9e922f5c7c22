// Moments of point sets with few columns, the sums of a filter step.
//
// Every sum runs over the points in order (point 0 first), one product
// added at a time, exactly as a plain loop over the points would: the bits
// do not depend on the column count being known at compile time.  What the
// compile-time count buys is that all the sums of a moment are accumulated
// together, point by point, in registers: their chains of dependent
// additions then overlap instead of running one after another (a plain loop
// spends most of its time waiting on the latency of the previous addition).
#pragma once

#include "linalg.hpp"

#include <type_traits>

namespace vexel::small {

#define VEXEL_UNROLL_ALL _Pragma("GCC unroll 64")

/// The lower triangle (i >= j) of A^T A for the r x C column-major A:
/// sums[i][j] = sum over points k of A(k, i) * A(k, j), written to the
/// column-major C x C matrix M (upper triangle untouched).
template <int C>
inline void lower_gram(const double* __restrict A, Index r, double* __restrict M) {
  double sums[C][C] = {};
  for (Index k = 0; k < r; ++k) {
    double a[C];
    VEXEL_UNROLL_ALL
    for (int i = 0; i < C; ++i) a[i] = A[i * r + k];
    VEXEL_UNROLL_ALL
    for (int j = 0; j < C; ++j) {
      VEXEL_UNROLL_ALL
      for (int i = j; i < C; ++i) sums[i][j] += a[i] * a[j];
    }
  }
  VEXEL_UNROLL_ALL
  for (int j = 0; j < C; ++j) {
    VEXEL_UNROLL_ALL
    for (int i = j; i < C; ++i) M[j * C + i] = sums[i][j];
  }
}

/// A^T B for the r x CA matrix A and the r x CB matrix B (column-major):
/// sums over the points in order, into the column-major CA x CB matrix M.
template <int CA, int CB>
inline void cross_gram(const double* __restrict A, const double* __restrict B, Index r, double* __restrict M) {
  double sums[CA][CB] = {};
  for (Index k = 0; k < r; ++k) {
    double a[CA];
    double b[CB];
    VEXEL_UNROLL_ALL
    for (int i = 0; i < CA; ++i) a[i] = A[i * r + k];
    VEXEL_UNROLL_ALL
    for (int j = 0; j < CB; ++j) b[j] = B[j * r + k];
    VEXEL_UNROLL_ALL
    for (int i = 0; i < CA; ++i) {
      VEXEL_UNROLL_ALL
      for (int j = 0; j < CB; ++j) sums[i][j] += a[i] * b[j];
    }
  }
  VEXEL_UNROLL_ALL
  for (int j = 0; j < CB; ++j) {
    VEXEL_UNROLL_ALL
    for (int i = 0; i < CA; ++i) M[j * CA + i] = sums[i][j];
  }
}

/// The column sums of the first C columns of the r-row column-major Y.
template <int C>
inline void column_sums(const double* __restrict Y, Index r, double* __restrict out) {
  double sums[C] = {};
  for (Index k = 0; k < r; ++k) {
    VEXEL_UNROLL_ALL
    for (int j = 0; j < C; ++j) sums[j] += Y[j * r + k];
  }
  VEXEL_UNROLL_ALL
  for (int j = 0; j < C; ++j) out[j] = sums[j];
}

#undef VEXEL_UNROLL_ALL

/// Calls f(std::integral_constant<int, C>) for a column count 1..8 known at
/// compile time; false (nothing called) for any other count.
template <class F>
inline bool with_small_count(Index c, F&& f) {
  switch (c) {
    case 1: f(std::integral_constant<int, 1>()); return true;
    case 2: f(std::integral_constant<int, 2>()); return true;
    case 3: f(std::integral_constant<int, 3>()); return true;
    case 4: f(std::integral_constant<int, 4>()); return true;
    case 5: f(std::integral_constant<int, 5>()); return true;
    case 6: f(std::integral_constant<int, 6>()); return true;
    case 7: f(std::integral_constant<int, 7>()); return true;
    case 8: f(std::integral_constant<int, 8>()); return true;
    default: return false;
  }
}

}  // namespace vexel::small
