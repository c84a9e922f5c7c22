// The linear Kalman step and the Rauch-Tung-Striebel step for a tile of
// filters at once, one filter per SIMD lane (structure of arrays: entry e of
// a matrix is one register holding that entry of every filter of the tile).
//
// Each lane performs exactly the operations of the one-filter path
// (KalmanStep and SmootherStep in linear_step.hpp, the Cholesky kernels of
// small_factorization.hpp) in their order: the products sum in the plain
// sequential order of `mul`, additions, subtractions, multiplications,
// divisions and square roots are single IEEE operations in every lane, and
// no FMA is ever formed.  So a filter's numbers do not depend on the tile it
// ran in or on the lane width.  What the lanes cannot do together (a
// fallback inverse, a logarithm) the caller does lane by lane on the scalar
// path.
//
// Matrices are column-major arrays of compile-time size; the shared model
// matrices stay plain doubles (one value for every lane).  Every function is
// inlined into its caller, so the same code serves the two-lane build and the
// one compiled for AVX2.
#pragma once

#include "../kernels/simd_dispatch.hpp"
#include "../kernels/simd_vectors.hpp"

#include <cmath>
#include <limits>

namespace vexel::batch::lanes {

#define VEXEL_LANE inline __attribute__((always_inline))

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

/// Per-lane truth values of a comparison of V (all bits set: true).
template <class V>
using Mask = decltype(V{} < V{});

template <class V>
constexpr int kWidth = static_cast<int>(simd::kLanes<V>);

template <class V>
VEXEL_LANE V splat(double v) {
  V r = {};
  for (int l = 0; l < kWidth<V>; ++l) r[l] = v;
  return r;
}

template <class V>
VEXEL_LANE Mask<V> all_true() {
  const V z = {};
  return z == z;
}

/// The register whose lane l is get(l), built in registers: writing single
/// lanes of a vector in memory and then loading it whole would stall the
/// load on every write.
template <class V, class Get>
VEXEL_LANE V gather(Get&& get) {
  V v = {};
  for (int l = 0; l < kWidth<V>; ++l) v[l] = get(l);
  return v;
}

/// Lane by lane: a where m is set, b elsewhere.
template <class V>
VEXEL_LANE V select(const Mask<V>& m, const V& a, const V& b) {
  return (V)(((Mask<V>)a & m) | ((Mask<V>)b & ~m));
}

/// Square root of every lane, exactly rounded as std::sqrt.
VEXEL_LANE simd::Pair lane_sqrt(simd::Pair v) {
#if defined(__SSE2__)
  return __builtin_ia32_sqrtpd(v);
#else
  for (int l = 0; l < 2; ++l) v[l] = std::sqrt(v[l]);
  return v;
#endif
}

/// The same for four lanes, as two pairs: no function here carries a
/// target attribute (an AVX2-only callee could not be inlined into these
/// generic templates); inlined into a function compiled for AVX2 the pairs
/// are VEX-encoded.
VEXEL_LANE simd::Quad lane_sqrt(simd::Quad v) {
  simd::Pair lo = {v[0], v[1]};
  simd::Pair hi = {v[2], v[3]};
  lo = lane_sqrt(lo);
  hi = lane_sqrt(hi);
  return simd::Quad{lo[0], lo[1], hi[0], hi[1]};
}

/// c = a b for the R x K a and the K x C b: c(i, j) = a(i, 0) b(0, j), then
/// + a(i, k) b(k, j) for k = 1 .. K-1 (the order of `mul`).
template <int R, int K, int C, class TA, class TB, class TC>
VEXEL_LANE void prod(const TA* a, const TB* b, TC* c) {
  for (int j = 0; j < C; ++j) {
    for (int i = 0; i < R; ++i) c[i + j * R] = a[i] * b[j * K];
    for (int k = 1; k < K; ++k) {
      for (int i = 0; i < R; ++i) c[i + j * R] += a[i + k * R] * b[k + j * K];
    }
  }
}

/// c = a b^T for the R x K a and the C x K b, in the same order.
template <int R, int K, int C, class TA, class TB, class TC>
VEXEL_LANE void prod_bt(const TA* a, const TB* b, TC* c) {
  for (int j = 0; j < C; ++j) {
    for (int i = 0; i < R; ++i) c[i + j * R] = a[i] * b[j];
    for (int k = 1; k < K; ++k) {
      for (int i = 0; i < R; ++i) c[i + j * R] += a[i + k * R] * b[j + k * C];
    }
  }
}

/// For every pair i < j both entries become (a(i, j) + a(j, i)) * 0.5.
template <int N, class V>
VEXEL_LANE void symmetrize(V* a) {
  for (int j = 1; j < N; ++j) {
    for (int i = 0; i < j; ++i) {
      const V v = (a[i + j * N] + a[j + i * N]) * 0.5;
      a[i + j * N] = v;
      a[j + i * N] = v;
    }
  }
}

/// The lanes whose entries a[0 .. count) are all finite (v - v is 0 for a
/// finite v and NaN otherwise).
template <int Count, class V>
VEXEL_LANE Mask<V> finite_lanes(const V* a) {
  V acc = {};
  for (int i = 0; i < Count; ++i) acc += a[i] - a[i];
  return acc == V{};
}

/// small::cholesky_lower in every lane; the lanes whose pivots all pass
/// (a finite number > 0.0) are returned.  A failing lane runs on with
/// meaningless values, which the caller discards.
template <int N, class V>
VEXEL_LANE Mask<V> cholesky_lower(const V* A, V* L) {
  for (int i = 0; i < N * N; ++i) L[i] = A[i];
  Mask<V> ok = all_true<V>();
  const V zero = {};
  const V inf = splat<V>(std::numeric_limits<double>::infinity());
  for (int j = 0; j < N; ++j) {
    V* wj = L + j * N;
    for (int k = 0; k < j; ++k) {
      const V* wk = L + k * N;
      const V ljk = wk[j];
      for (int i = j; i < N; ++i) wj[i] -= wk[i] * ljk;
    }
    const V p = wj[j];
    ok &= (p > zero) & (p < inf);
    const V ljj = lane_sqrt(p);
    wj[j] = ljj;
    for (int i = j + 1; i < N; ++i) wj[i] /= ljj;
  }
  return ok;
}

/// small::cholesky_inverse_from_factor in every lane.
template <int N, class V>
VEXEL_LANE void cholesky_inverse_from_factor(const V* L, V* out) {
  const V one = splat<V>(1.0);
  const V zero = {};
  for (int c = 0; c < N; ++c) {
    for (int i = 0; i < N; ++i) out[i + c * N] = (i == c) ? one : zero;
  }
  for (int k = 0; k < N; ++k) {
    const V* lk = L + k * N;
    for (int c = 0; c <= k; ++c) {
      V* b = out + c * N;
      const V bk = b[k] / lk[k];
      b[k] = bk;
      for (int i = k + 1; i < N; ++i) b[i] -= lk[i] * bk;
    }
  }
  for (int k = N - 1; k >= 0; --k) {
    const V* lk = L + k * N;
    for (int c = 0; c < N; ++c) {
      V* b = out + c * N;
      V s = b[k];
      for (int i = k + 1; i < N; ++i) s -= lk[i] * b[i];
      b[k] = s / lk[k];
    }
  }
}

/// The state and the arithmetic of KalmanStep for a tile of filters.  The
/// predicted (x, P) stay in place through the update, whose posterior goes
/// to (xn, Pn), so that a lane that cannot be updated here still holds its
/// prediction.
template <int N, int M, class V>
struct KalmanTile {
  V x[N], P[N * N];
  V z[M];
  V xn[N], Pn[N * N];
  V y[M], S[M * M], L[M * M], Si[M * M];
  /// Lanes whose Cholesky factorisation of S succeeded, and of those the
  /// ones whose posterior is finite.
  Mask<V> chol_ok, finite_ok;

  /// x = F x; P = (F P) F^T + Q, symmetrised (F, Q column-major).
  VEXEL_LANE void predict(const double* F, const double* Q) {
    V xp[N];
    prod<N, N, 1>(F, x, xp);
    for (int i = 0; i < N; ++i) x[i] = xp[i];
    V FP[N * N];
    prod<N, N, N>(F, P, FP);
    prod_bt<N, N, N>(FP, F, P);
    for (int i = 0; i < N * N; ++i) P[i] += Q[i];
    symmetrize<N>(P);
  }

  /// KalmanStep::update with the Cholesky stage of the inverse, in every lane.
  VEXEL_LANE void update(const double* H, const double* R) {
    V Hx[M];
    prod<M, N, 1>(H, x, Hx);
    for (int i = 0; i < M; ++i) y[i] = z[i] - Hx[i];
    V HP[M * N];
    prod<M, N, N>(H, P, HP);
    prod_bt<M, N, M>(HP, H, S);
    for (int i = 0; i < M * M; ++i) S[i] += R[i];
    symmetrize<M>(S);
    chol_ok = cholesky_lower<M>(S, L);
    cholesky_inverse_from_factor<M>(L, Si);
    V PHt[N * M], K[N * M];
    prod_bt<N, N, M>(P, H, PHt);
    prod<N, M, M>(PHt, Si, K);
    V Ky[N];
    prod<N, M, 1>(K, y, Ky);
    for (int i = 0; i < N; ++i) xn[i] = x[i] + Ky[i];
    V A[N * N], T[N * N];
    prod<N, M, N>(K, H, T);
    for (int j = 0; j < N; ++j) {
      for (int i = 0; i < N; ++i) A[i + j * N] = (i == j ? 1.0 : 0.0) - T[i + j * N];
    }
    prod<N, N, N>(A, P, T);
    prod_bt<N, N, N>(T, A, Pn);
    V KR[N * M];
    prod<N, M, M>(K, R, KR);
    prod_bt<N, M, N>(KR, K, T);
    for (int i = 0; i < N * N; ++i) Pn[i] += T[i];
    symmetrize<N>(Pn);
    finite_ok = chol_ok & finite_lanes<N>(xn) & finite_lanes<N * N>(Pn);
  }

  /// (y^T Si) . y summed as KalmanStep::log_likelihood sums it.
  VEXEL_LANE V mahalanobis() const {
    V yS[M];
    prod<1, M, M>(y, Si, yS);
    V m = {};
    for (int j = 0; j < M; ++j) m += yS[j] * y[j];
    return m;
  }

  /// KalmanStep::log_likelihood of lane l from its share of mahalanobis().
  double log_likelihood(int l, double mahal, double c) const {
    double log_det = 0.0;
    for (int j = 0; j < M; ++j) {
      const double d = L[j + j * M][l];
      if (!(d > 0.0) || !std::isfinite(d)) return -std::numeric_limits<double>::infinity();
      log_det += std::log(d);
    }
    log_det = 2.0 * log_det;
    const double m_pos = mahal > 0.0 ? mahal : 0.0;
    return -0.5 * (m_pos + (c + log_det));
  }
};

/// The arithmetic of SmootherStep for a tile of sequences: gain() then
/// combine() move the smoothed state (xs_next, Ps_next) one step back.
template <int N, class V>
struct SmootherTile {
  V xk[N], Pk[N * N];
  V xpred[N], Ppred[N * N], L[N * N], Pinv[N * N], C[N * N];
  V xs_next[N], Ps_next[N * N];

  /// The prediction from (xk, Pk) and, where the Cholesky stage succeeds
  /// (the lanes returned), the inverse of the predicted covariance.
  VEXEL_LANE Mask<V> predict_and_invert(const double* F, const double* Q) {
    prod<N, N, 1>(F, xk, xpred);
    V FP[N * N];
    prod<N, N, N>(F, Pk, FP);
    prod_bt<N, N, N>(FP, F, Ppred);
    for (int i = 0; i < N * N; ++i) Ppred[i] += Q[i];
    symmetrize<N>(Ppred);
    const Mask<V> ok = cholesky_lower<N>(Ppred, L);
    cholesky_inverse_from_factor<N>(L, Pinv);
    return ok;
  }

  /// The gain (Pk F^T) Pinv, then the step back.
  VEXEL_LANE void gain_and_combine(const double* F) {
    V T[N * N];
    prod_bt<N, N, N>(Pk, F, T);
    prod<N, N, N>(T, Pinv, C);
    V d[N], Cd[N];
    for (int i = 0; i < N; ++i) d[i] = xs_next[i] - xpred[i];
    prod<N, N, 1>(C, d, Cd);
    for (int i = 0; i < N; ++i) xs_next[i] = xk[i] + Cd[i];
    V D[N * N];
    for (int i = 0; i < N * N; ++i) D[i] = Ps_next[i] - Ppred[i];
    prod<N, N, N>(C, D, T);
    prod_bt<N, N, N>(T, C, Ps_next);
    for (int i = 0; i < N * N; ++i) Ps_next[i] += Pk[i];
    symmetrize<N>(Ps_next);
  }
};

#pragma GCC diagnostic pop

}  // namespace vexel::batch::lanes
