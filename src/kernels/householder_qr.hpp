// In-place Householder QRs of small stacks that keep only the lower factor
// L = R^T: column by column, a register kernel on two or four lanes, and the
// merge of two triangular factors into one.  The backward smoother runs them
// once or twice a step, so they work in caller storage and never allocate
// (the square-root filter's own QR, which returns a new factor, is qr.hpp).
#pragma once

#include "householder.hpp"
#include "linalg.hpp"
#include "simd_dispatch.hpp"
#include "simd_vectors.hpp"

namespace vexel {

/// Lower L with non-negative diagonal and L L^T = A^T A, from a Householder
/// QR of A done in place (A has n columns and at least n rows; it is
/// overwritten): L = R^T, each column flipped so that its diagonal is |R_ii|.
/// Column by column, for the stacks of up to 6 states, where the register
/// kernel below pays more for its set-up than it saves: no scratch, one
/// reciprocal per column, vectorised dots and updates.  With
/// `triangular_head` the first n rows are upper triangular: column i then
/// holds zeros in rows i+1 to n-1, which no earlier reflector touches, so
/// each reflector lives on row i and the rows from n on only.
void lower_factor_qr_by_columns(DMatrix& A, DVector& diag, DMatrix& L, bool triangular_head);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

/// Lower L with non-negative diagonal and L L^T = A^T A, from a Householder
/// QR of A done in place (A has n columns and a multiple of four rows, at
/// least n, rows past the stack zero; it is overwritten): L = R^T, each
/// column flipped so that its diagonal is |R_ii|.  `v` is scratch of A's
/// row count.
/// Written out for small stacks: the reflector is kept in `v`, and dots and
/// updates run over whole registers of rows (V), four columns per pass over
/// v.  The registers start at the head's, or with `TriHead` (the first n
/// rows upper triangular) at row n's: column i is zero in rows i+1 to n-1,
/// which no earlier reflector touches, so each reflector is row i (taken
/// apart) and the rows from n on.  With N and M (A's rows) fixed, the loops
/// are unrolled over the stack's height; Eigen::Dynamic takes them from A.
template <class V, int N, int M, bool TriHead>
__attribute__((always_inline)) inline void qr_kernel(DMatrix& A, double* v, DVector& diag, DMatrix& L) {
  using simd::lane_sum;
  using simd::load;
  using simd::store;
  constexpr Index lanes = simd::kLanes<V>;
  const Index m = M == Eigen::Dynamic ? A.rows() : M;
  const Index n = N == Eigen::Dynamic ? A.cols() : N;
  double* a = A.data();
  for (Index i = 0; i < n; ++i) {
    const double* x = a + i * m;
    const Index start = (TriHead ? n : i) & ~(lanes - 1);
    // Row i inside the registers, or taken apart (a triangular head's rows).
    const bool head_apart = i < start;
    if (!head_apart) {
      for (Index k = start; k < i; ++k) v[k] = 0.0;
    }
    // In a triangular head, rows after i are zero in x.
    for (Index k = head_apart ? start : i; k < m; ++k) v[k] = x[k];
    const double* vs = v + start;
    const Index regs = (m - start) / lanes;
    const double x0 = x[i];
    // Two chains of registers: the short sums are bound by the adder's latency.
    V e0 = {}, e1 = {};
    Index k2 = 0;
    for (; k2 + 1 < regs; k2 += 2) {
      const V p0 = load<V>(vs + k2 * lanes);
      const V p1 = load<V>(vs + (k2 + 1) * lanes);
      e0 += p0 * p0;
      e1 += p1 * p1;
    }
    if (k2 < regs) {
      const V p0 = load<V>(vs + k2 * lanes);
      e0 += p0 * p0;
    }
    e0 += e1;
    const Reflector ref = reflector_of(x0, (head_apart ? x0 * x0 : 0.0) + lane_sum(e0));
    diag.coeffRef(i) = ref.alpha;
    if (!ref.eliminate) continue;
    const double v0 = ref.v0;
    // The head's share of a dot (zero when the head is among the registers).
    const double h = head_apart ? v0 : 0.0;
    if (!head_apart) v[i] = v0;
    const double beta = ref.beta;
    Index c = i + 1;
    for (; c + 3 < n; c += 4) {
      double* c0 = a + c * m;
      double* c1 = c0 + m;
      double* c2 = c1 + m;
      double* c3 = c2 + m;
      double* y0 = c0 + start;
      double* y1 = c1 + start;
      double* y2 = c2 + start;
      double* y3 = c3 + start;
      V d0 = {}, d1 = {}, d2 = {}, d3 = {};
      for (Index k = 0; k < regs * lanes; k += lanes) {
        const V vk = load<V>(vs + k);
        d0 += vk * load<V>(y0 + k);
        d1 += vk * load<V>(y1 + k);
        d2 += vk * load<V>(y2 + k);
        d3 += vk * load<V>(y3 + k);
      }
      const double t0 = beta * (h * c0[i] + lane_sum(d0));
      const double t1 = beta * (h * c1[i] + lane_sum(d1));
      const double t2 = beta * (h * c2[i] + lane_sum(d2));
      const double t3 = beta * (h * c3[i] + lane_sum(d3));
      for (Index k = 0; k < regs * lanes; k += lanes) {
        const V vk = load<V>(vs + k);
        store(y0 + k, load<V>(y0 + k) - t0 * vk);
        store(y1 + k, load<V>(y1 + k) - t1 * vk);
        store(y2 + k, load<V>(y2 + k) - t2 * vk);
        store(y3 + k, load<V>(y3 + k) - t3 * vk);
      }
      if (head_apart) {
        c0[i] -= t0 * v0;
        c1[i] -= t1 * v0;
        c2[i] -= t2 * v0;
        c3[i] -= t3 * v0;
      }
    }
    for (; c < n; ++c) {
      double* col = a + c * m;
      double* y = col + start;
      V d = {}, d1 = {};
      Index k = 0;
      for (; k + 2 * lanes <= regs * lanes; k += 2 * lanes) {
        d += load<V>(vs + k) * load<V>(y + k);
        d1 += load<V>(vs + k + lanes) * load<V>(y + k + lanes);
      }
      if (k < regs * lanes) d += load<V>(vs + k) * load<V>(y + k);
      d += d1;
      const double t = beta * (h * col[i] + lane_sum(d));
      for (k = 0; k < regs * lanes; k += lanes) store(y + k, load<V>(y + k) - t * load<V>(vs + k));
      if (head_apart) col[i] -= t * v0;
    }
  }
  lower_from_reflections(a, m, n, diag, L);
}

/// sum a[t] b[t] over t < Len, in the order Eigen's reduction of a
/// run-time-sized vector adds it on two-lane registers: two running sums of
/// pairs (pairs 0, 2, 4, ... and 1, 3, 5, ...), added together, then the
/// odd pair, the two lanes, and the last entry if Len is odd.
template <int Len>
__attribute__((always_inline)) inline double dynamic_order_dot(const double* a, const double* b) {
  static_assert(Len >= 1, "a reduction of at least one term");
  constexpr int kPaired = Len & ~1;
  constexpr int kQuadded = Len & ~3;
  if constexpr (kPaired == 0) {
    return a[0] * b[0];
  } else {
    simd::Pair s0 = simd::load<simd::Pair>(a) * simd::load<simd::Pair>(b);
    if constexpr (kPaired > 2) {
      simd::Pair s1 = simd::load<simd::Pair>(a + 2) * simd::load<simd::Pair>(b + 2);
      for (int t = 4; t < kQuadded; t += 4) {
        s0 = s0 + simd::load<simd::Pair>(a + t) * simd::load<simd::Pair>(b + t);
        s1 = s1 + simd::load<simd::Pair>(a + t + 2) * simd::load<simd::Pair>(b + t + 2);
      }
      s0 = s0 + s1;
      if constexpr (kPaired > kQuadded) s0 = s0 + simd::load<simd::Pair>(a + kQuadded) * simd::load<simd::Pair>(b + kQuadded);
    }
    double r = s0[0] + s0[1];
    if constexpr (Len > kPaired) r = r + a[kPaired] * b[kPaired];
    return r;
  }
}

/// `lower_factor_qr_by_columns` with the sizes fixed (N columns, M rows):
/// the same operations in the same order (its dots and norms are Eigen's
/// run-time-sized reductions, replayed by `dynamic_order_dot`), unrolled.
template <int N, int M, bool TriHead, int I = 0>
__attribute__((always_inline)) inline void qr_columns_fixed(double* a, DVector& diag) {
  if constexpr (I < N) {
    constexpr int kT0 = TriHead ? N : I + 1;
    constexpr int kLen = M - kT0;
    double* x = a + I * M;
    const double* tail = x + kT0;
    const double x0 = x[I];
    const Reflector h = reflector_of(x0, x0 * x0 + dynamic_order_dot<kLen>(tail, tail));
    diag.coeffRef(I) = h.alpha;
    if (h.eliminate) {
      const double v0 = h.v0;
      x[I] = v0;
      const double beta = h.beta;
      for (int c = I + 1; c < N; ++c) {
        double* yc = a + c * M;
        double* y = yc + kT0;
        const double tau = beta * (v0 * yc[I] + dynamic_order_dot<kLen>(tail, y));
        yc[I] -= tau * v0;
        for (int t = 0; t < kLen; ++t) y[t] -= tau * tail[t];
      }
    }
    qr_columns_fixed<N, M, TriHead, I + 1>(a, diag);
  }
}

/// The QR of `qr_kernel` as every build target can run it: column by column
/// up to 6 states, on SSE2/NEON pairs beyond.
template <int N, int M, bool TriHead>
void lower_factor_qr_pairs(DMatrix& A, double* v, DVector& diag, DMatrix& L) {
  if constexpr (N != Eigen::Dynamic && N <= 6) {
    if constexpr (M != Eigen::Dynamic) {
      if (A.rows() != M || A.cols() != N) internal_failure("a fixed-size QR takes its own size", __FILE__, __LINE__);
      qr_columns_fixed<N, M, TriHead>(A.data(), diag);
      lower_from_reflections(A.data(), M, N, diag, L);
    } else {
      lower_factor_qr_by_columns(A, diag, L, TriHead);
    }
  } else {
    qr_kernel<simd::Pair, N, M, TriHead>(A, v, diag, L);
  }
}

#ifdef VEXEL_AVX2_KERNELS
/// The same kernel on AVX registers, compiled for AVX2 on its own, for the
/// processors `simd::avx2_kernels` admits.  Its sums run over four lanes, so
/// its last bits differ from the pairs'.  Nothing but plain arithmetic is
/// compiled for AVX2 here: no library code shared with the rest of the
/// build is.
template <int N, int M, bool TriHead>
__attribute__((target("avx2"))) void lower_factor_qr_quads(DMatrix& A, double* v, DVector& diag, DMatrix& L) {
  qr_kernel<simd::Quad, N, M, TriHead>(A, v, diag, L);
}
#endif

#pragma GCC diagnostic pop

/// Upper R with R^T R = Sq Sq^T + S S^T, from a Householder QR of the stack
/// [Sq^T; S^T] done in place in U (2n by n; both halves upper triangular).
/// Column i of the stack is non-zero only in row i and rows n to n+i, and
/// no reflector fills in outside that pattern, so each reflector is i+2 long:
/// a few hundred operations where the general QR (or two n by n by n
/// products and n more rows in a QR of the whole stack) would take
/// thousands.  R is the top half of U: zero below its diagonal as the
/// input's top half was, since no reflector touches those entries (R's
/// diagonal may be negative: only R^T R is used).
template <int N>
void merge_upper_pair(DMatrix& U) {
  const Index n = N == Eigen::Dynamic ? U.cols() : N;
  for (Index i = 0; i < n; ++i) {
    double* x = U.col(i).data();
    const double* tail = x + n;  // rows n..n+i of column i
    const double x0 = x[i];
    double s2 = x0 * x0;
    for (Index t = 0; t <= i; ++t) s2 += tail[t] * tail[t];
    const Reflector h = reflector_of(x0, s2);
    if (!h.eliminate) continue;  // the column is zero: R's row i is left as is
    const double v0 = h.v0;
    const double beta = h.beta;
    const double alpha = h.alpha;
    for (Index c = i + 1; c < n; ++c) {
      double* y = U.col(c).data();
      double dot = v0 * y[i];
      for (Index t = 0; t <= i; ++t) dot += tail[t] * y[n + t];
      const double tau = beta * dot;
      y[i] -= tau * v0;
      for (Index t = 0; t <= i; ++t) y[n + t] -= tau * tail[t];
    }
    x[i] = alpha;
  }
}

}  // namespace vexel
