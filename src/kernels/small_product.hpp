// The product of two small column-major blocks on SIMD registers, for the
// step products of the backward smoother where a general (blocked) product
// costs more in set-up than the arithmetic it does.
#pragma once

#include "simd_vectors.hpp"

namespace vexel::simd {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

/// Rows i0.. of C's columns j0..j0+3, Regs registers of rows at a time: see
/// `small_product`.  The four columns share their loads of A.
template <class V, int Regs>
__attribute__((always_inline)) inline void product_tile(Index i0, Index j0, Index depth, const double* A, Index lda,
                                                        const double* B, Index bk, Index bj, double* C, Index ldc,
                                                        double sign, bool accumulate) {
  constexpr Index lanes = kLanes<V>;
  V acc[Regs][4];
  for (Index c = 0; c < 4; ++c) {
    for (Index r = 0; r < Regs; ++r) acc[r][c] = accumulate ? load<V>(C + (j0 + c) * ldc + i0 + r * lanes) : V{};
  }
  for (Index k = 0; k < depth; ++k) {
    V a[Regs];
    for (Index r = 0; r < Regs; ++r) a[r] = load<V>(A + k * lda + i0 + r * lanes);
    for (Index c = 0; c < 4; ++c) {
      const double b = sign * B[k * bk + (j0 + c) * bj];
      for (Index r = 0; r < Regs; ++r) acc[r][c] += a[r] * b;
    }
  }
  for (Index c = 0; c < 4; ++c) {
    for (Index r = 0; r < Regs; ++r) store(C + (j0 + c) * ldc + i0 + r * lanes, acc[r][c]);
  }
}

/// C = (accumulate ? C : 0) + sign A op(B) for small column-major blocks:
/// A is rows by depth (leading dimension lda), op(B)(k, j) = B[k bk + j bj]
/// (bk = 1, bj = ldb for B itself; bk = ldb, bj = 1 for its transpose), C
/// rows by cols (ldc).  Each entry of C is its start plus the products
/// a_ik (sign b_kj) added in k order, whichever path computes it, so that
/// the lane width changes no result.
template <class V>
__attribute__((always_inline)) inline void small_product(Index rows, Index cols, Index depth, const double* A,
                                                         Index lda, const double* B, Index bk, Index bj, double* C,
                                                         Index ldc, double sign, bool accumulate) {
  constexpr Index lanes = kLanes<V>;
  // Rows in tiles of two registers, then one; the rest (fewer rows than a
  // register, or columns past whole fours) entry by entry.
  const Index pair_rows = rows - rows % (2 * lanes);
  const Index tiled_rows = rows - rows % lanes;
  Index j0 = 0;
  for (; j0 + 4 <= cols; j0 += 4) {
    Index i0 = 0;
    for (; i0 < pair_rows; i0 += 2 * lanes) {
      product_tile<V, 2>(i0, j0, depth, A, lda, B, bk, bj, C, ldc, sign, accumulate);
    }
    if (i0 < tiled_rows) product_tile<V, 1>(i0, j0, depth, A, lda, B, bk, bj, C, ldc, sign, accumulate);
  }
  for (Index j = 0; j < cols; ++j) {
    for (Index i = j < j0 ? tiled_rows : 0; i < rows; ++i) {
      double acc = accumulate ? C[j * ldc + i] : 0.0;
      for (Index k = 0; k < depth; ++k) acc += A[k * lda + i] * (sign * B[k * bk + j * bj]);
      C[j * ldc + i] = acc;
    }
  }
}

#pragma GCC diagnostic pop

}  // namespace vexel::simd
