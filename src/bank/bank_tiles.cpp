// The lane-wise kernels of bank_tiles.hpp: one generic body per kernel on a
// GCC vector type, built on two-lane registers for every target and on
// four-lane AVX registers by functions compiled for AVX2 on their own.
//
// Every lane repeats the one-filter path's operations in its order:
//   Cholesky         small::cholesky_lower (left-looking, pivot test, sqrt,
//                    divisions), strict upper triangle 0.0
//   points           cubature_points_from_factor: d = sqrt(n) L(i, j),
//                    plus d + x_i, minus x_i - d
//   mean, moments    small::column_sums / lower_gram / cross_gram: sums over
//                    the points in order from 0.0, then times 1 / 2n
//   products         simd::small_product: each entry summed from 0.0 over
//                    its inner index in order
//   inverse of S     small::cholesky_inverse_from_factor
// Square roots are the processor's (correctly rounded, as std::sqrt).
#include "bank_tiles.hpp"

#include "../angles/angles.hpp"
#include "../kernels/simd_dispatch.hpp"
#include "../kernels/simd_vectors.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// The generic bodies pass AVX vectors by value, which GCC flags (at the end
// of the unit) as an ABI change for code built without AVX; they are always
// inlined into the functions compiled for AVX2, so no call crosses that
// boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vexel::bank {

namespace {

#define VEXEL_AI __attribute__((always_inline)) inline
#define VEXEL_UNROLL _Pragma("GCC unroll 64")

/// Lane-wise square roots, correctly rounded as std::sqrt's.  The AVX one is
/// compiled for AVX2 on its own and not forced inline: the generic bodies
/// call it, and it is inlined once they are inside the AVX2 builds.
#if defined(__SSE2__)
VEXEL_AI simd::Pair lane_sqrt(const simd::Pair& v) { return _mm_sqrt_pd(v); }
#else
VEXEL_AI simd::Pair lane_sqrt(const simd::Pair& v) { return simd::Pair{std::sqrt(v[0]), std::sqrt(v[1])}; }
#endif
#ifdef VEXEL_AVX2_KERNELS
__attribute__((target("avx2"))) inline simd::Quad lane_sqrt(const simd::Quad& v) { return _mm256_sqrt_pd(v); }
#endif

/// The library's cosines and sines of h[0..count-1], as the built-in
/// coordinated turn takes them.  Out of line and built for the baseline:
/// one call from a tile's kernel for all its points, so that the kernel's
/// registers are not cleared and spilled around every library call and
/// the calls' latencies overlap.
__attribute__((noinline)) void cosines_and_sines(const double* h, double* c, double* s, int count) {
  for (int i = 0; i < count; ++i) {
    c[i] = std::cos(h[i]);
    s[i] = std::sin(h[i]);
  }
}

/// hypot(dx, dy) and atan2(dy, dx) of count pairs, as the built-in range
/// and bearing takes them (out of line as cosines_and_sines).
__attribute__((noinline)) void ranges_and_bearings(const double* dx, const double* dy, double* range, double* angle,
                                                   int count) {
  for (int i = 0; i < count; ++i) {
    range[i] = std::hypot(dx[i], dy[i]);
    angle[i] = std::atan2(dy[i], dx[i]);
  }
}

template <class V, int N, int Mz>
struct Lanes {
  static constexpr int W = static_cast<int>(simd::kLanes<V>);
  static constexpr int R = 2 * N;  // points
  using Mask = decltype(V{} == V{});

  static VEXEL_AI V at(const double* a, Index e) { return simd::load<V>(a + e * W); }
  static VEXEL_AI void put(double* a, Index e, const V& v) { simd::store(a + e * W, v); }
  static VEXEL_AI V gather(const double* const* p, Index k) {
    V v;
    VEXEL_UNROLL
    for (int l = 0; l < W; ++l) v[l] = p[l][k];
    return v;
  }
  static VEXEL_AI V splat(double s) {
    V v;
    VEXEL_UNROLL
    for (int l = 0; l < W; ++l) v[l] = s;
    return v;
  }
  template <int K>
  static VEXEL_AI void gather_block(const double* const* p, V (&out)[K]) {
    simd::gather_block<V, K>(p, out);
  }
  template <int K>
  static VEXEL_AI void scatter(unsigned write, const V (&in)[K], double* const* p) {
    simd::scatter_block<V, K>(write, in, p);
  }
  /// The symmetric m column-major (as the one-filter path stores it) into
  /// cov; the lanes whose lower triangle, which decides, is finite.
  static VEXEL_AI Mask column_major(const V (&m)[N][N], V (&cov)[N * N]) {
    Mask ok = all();
    VEXEL_UNROLL
    for (int j = 0; j < N; ++j) {
      VEXEL_UNROLL
      for (int i = 0; i < N; ++i) {
        if (i >= j) ok &= finite(m[i][j]);
        cov[j * N + i] = m[i][j];
      }
    }
    return ok;
  }
  static VEXEL_AI unsigned bits(const Mask& m) {
    unsigned out = 0;
    VEXEL_UNROLL
    for (int l = 0; l < W; ++l) out |= m[l] != 0 ? 1u << l : 0u;
    return out;
  }
  /// All lanes true.
  static VEXEL_AI Mask all() { return V{} == V{}; }
  /// Lanes where v is finite (v - v is NaN for NaN and infinities).
  static VEXEL_AI Mask finite(const V& v) { return (v - v) == V{}; }

  /// Left-looking Cholesky of the K by K lower triangles in a[h] (a[h][i][j],
  /// i >= j) of T tiles, in place; ok[h] keeps the lanes whose pivots all
  /// pass.  The tiles' independent chains of square roots and divisions
  /// are interleaved so that their latencies overlap.
  template <int K, int T>
  static VEXEL_AI void cholesky(V (&a)[T][K][K], Mask (&ok)[T]) {
    const V zero{};
    const V inf = splat(std::numeric_limits<double>::infinity());
    VEXEL_UNROLL
    for (int h = 0; h < T; ++h) ok[h] = all();
    VEXEL_UNROLL
    for (int j = 0; j < K; ++j) {
      VEXEL_UNROLL
      for (int k = 0; k < j; ++k) {
        VEXEL_UNROLL
        for (int h = 0; h < T; ++h) {
          const V ljk = a[h][j][k];
          VEXEL_UNROLL
          for (int i = j; i < K; ++i) a[h][i][j] -= a[h][i][k] * ljk;
        }
      }
      V ljj[T];
      VEXEL_UNROLL
      for (int h = 0; h < T; ++h) {
        const V p = a[h][j][j];
        ok[h] &= (p > zero) & (p < inf);
        ljj[h] = lane_sqrt(p);
        a[h][j][j] = ljj[h];
      }
      VEXEL_UNROLL
      for (int i = j + 1; i < K; ++i) {
        VEXEL_UNROLL
        for (int h = 0; h < T; ++h) a[h][i][j] /= ljj[h];
      }
    }
  }

  /// Points of (x, L) as X[r][i] (point r, component i).
  static VEXEL_AI void draw(const double* const* xs, const double* L, V (&X)[R][N]) {
    const V c = splat(std::sqrt(static_cast<double>(N)));
    V x[N];
    gather_block<N>(xs, x);
    VEXEL_UNROLL
    for (int i = 0; i < N; ++i) {
      const V xi = x[i];
      VEXEL_UNROLL
      for (int j = 0; j < N; ++j) {
        const V d = c * at(L, j * N + i);
        X[j][i] = d + xi;
        X[N + j][i] = xi - d;
      }
    }
  }

  /// The factors of T tiles, lanes' P at P[h * W + l], into t[h]->L; tile
  /// h's bits shifted by h * W.
  template <int T>
  static VEXEL_AI unsigned factor(const double* const* P, TileWork* const (&t)[T]) {
    V a[T][N][N];
    VEXEL_UNROLL
    for (int h = 0; h < T; ++h) {
      V p[N * N];
      gather_block<N * N>(P + h * W, p);
      VEXEL_UNROLL
      for (int j = 0; j < N; ++j) {
        VEXEL_UNROLL
        for (int i = j; i < N; ++i) a[h][i][j] = p[i * N + j];
      }
    }
    Mask ok[T];
    cholesky<N, T>(a, ok);
    unsigned answer = 0;
    VEXEL_UNROLL
    for (int h = 0; h < T; ++h) {
      VEXEL_UNROLL
      for (int j = 0; j < N; ++j) {
        VEXEL_UNROLL
        for (int i = 0; i < N; ++i) put(t[h]->L, j * N + i, i >= j ? a[h][i][j] : V{});
      }
      answer |= bits(ok[h]) << (h * W);
    }
    return answer;
  }

  /// The built-in coordinated turn (tracking_models.cpp) on each lane's
  /// points of (x, t.L), its images into images[l] (2n by n): the model's
  /// arithmetic in lanes, in its order, its sine and cosine per lane by the
  /// same library calls.
  static VEXEL_AI void turn(const double* const* xs, const TileWork& t, double dt, double* const* images) {
    static_assert(N == 5, "the coordinated turn has five states");
    V X[R][N];
    draw(xs, t.L, X);
    // The half angles of every point and lane, then their cosines and sines.
    double h[R * W], ch[R * W], sh[R * W];
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      const V a = X[r][4] * dt;
      simd::store(h + r * W, 0.5 * a);
    }
    cosines_and_sines(h, ch, sh, R * W);
    V flat[R * N];
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      const V px = X[r][0], py = X[r][1], vx = X[r][2], vy = X[r][3], omega = X[r][4];
      const V hr = simd::load<V>(h + r * W);
      const V c = simd::load<V>(ch + r * W);
      const V sn = simd::load<V>(sh + r * W);
      // sinc(h): the series below |h| = 1e-3, the quotient above.
      const V h2 = hr * hr;
      const V series = 1.0 + h2 * (-1.0 / 6.0 + h2 * (1.0 / 120.0));
      const V quotient = sn / hr;
      const V chord = dt * (((hr < splat(1e-3)) & (hr > splat(-1e-3))) ? series : quotient);
      const V ca = 1.0 - 2.0 * (sn * sn), sa = 2.0 * (sn * c);
      flat[r * N + 0] = px + chord * (c * vx - sn * vy);
      flat[r * N + 1] = py + chord * (sn * vx + c * vy);
      flat[r * N + 2] = ca * vx - sa * vy;
      flat[r * N + 3] = sa * vx + ca * vy;
      flat[r * N + 4] = omega;
    }
    scatter<R * N>((1u << W) - 1, flat, images);
  }

  /// The built-in range and bearing (tracking_models.cpp) from the sensor
  /// (sensor[0], sensor[1]) of each lane's points of (x, t.L), the position
  /// at indices at[0], at[1], its images into images[l] (2n by 2): the
  /// offsets in lanes, hypot and atan2 per lane by the same library calls.
  static VEXEL_AI void bearing(const double* const* xs, const TileWork& t, const double* sensor,
                               const std::intptr_t* at, double* const* images) {
    static_assert(Mz == 2, "range and bearing are two measurements");
    V X[R][N];
    draw(xs, t.L, X);
    const V sx = splat(sensor[0]), sy = splat(sensor[1]);
    double dx[R * W], dy[R * W], range[R * W], angle[R * W];
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      simd::store(dx + r * W, X[r][at[0]] - sx);
      simd::store(dy + r * W, X[r][at[1]] - sy);
    }
    ranges_and_bearings(dx, dy, range, angle, R * W);
    V flat[R * Mz];
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      flat[r * Mz] = simd::load<V>(range + r * W);
      flat[r * Mz + 1] = simd::load<V>(angle + r * W);
    }
    scatter<R * Mz>((1u << W) - 1, flat, images);
  }

  static VEXEL_AI void points(const double* const* xs, const TileWork& t, double* const* rows) {
    V X[R][N];
    draw(xs, t.L, X);
    V flat[R * N];
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      VEXEL_UNROLL
      for (int i = 0; i < N; ++i) flat[r * N + i] = X[r][i];
    }
    scatter<R * N>((1u << W) - 1, flat, rows);
  }

  /// The column means of the images Y and Y centred on them.
  template <int C>
  static VEXEL_AI void centre(V (&Y)[R][C], V (&mean)[C]) {
    const V w = splat(1.0 / static_cast<double>(R));
    VEXEL_UNROLL
    for (int k = 0; k < C; ++k) mean[k] = V{};
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      VEXEL_UNROLL
      for (int k = 0; k < C; ++k) mean[k] += Y[r][k];
    }
    VEXEL_UNROLL
    for (int k = 0; k < C; ++k) mean[k] = mean[k] * w;
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      VEXEL_UNROLL
      for (int k = 0; k < C; ++k) Y[r][k] = Y[r][k] - mean[k];
    }
  }

  /// The C-ordered (R, C) images as Y[r][k].  Their finiteness needs no
  /// test of its own: a NaN or an infinity among them makes its column's
  /// mean non-finite, and with it the results every caller tests.
  template <int C>
  static VEXEL_AI void load_images(const double* const* images, V (&Y)[R][C]) {
    V flat[R * C];
    gather_block<R * C>(images, flat);
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      VEXEL_UNROLL
      for (int k = 0; k < C; ++k) Y[r][k] = flat[r * C + k];
    }
  }

  /// The K by K moment of the centred Y plus the C-ordered noise, mirrored
  /// from its lower triangle and symmetrised, as M[i][j] (row i, column j).
  template <int K>
  static VEXEL_AI void noisy_moment(const V (&Y)[R][K], const double* const* noise, V (&M)[K][K]) {
    const V w = splat(1.0 / static_cast<double>(R));
    V q[K * K];
    gather_block<K * K>(noise, q);
    V sums[K][K];
    VEXEL_UNROLL
    for (int j = 0; j < K; ++j) {
      VEXEL_UNROLL
      for (int i = j; i < K; ++i) sums[i][j] = V{};
    }
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      VEXEL_UNROLL
      for (int j = 0; j < K; ++j) {
        VEXEL_UNROLL
        for (int i = j; i < K; ++i) sums[i][j] += Y[r][i] * Y[r][j];
      }
    }
    VEXEL_UNROLL
    for (int j = 0; j < K; ++j) {
      VEXEL_UNROLL
      for (int i = j; i < K; ++i) {
        const V v = sums[i][j] * w;
        M[i][j] = v + q[i * K + j];
        if (i != j) M[j][i] = v + q[j * K + i];
      }
    }
    symmetrize<K>(M);
  }

  /// (M(i, j) + M(j, i)) * 0.5 in both places, the upper entry first.
  template <int K>
  static VEXEL_AI void symmetrize(V (&M)[K][K]) {
    VEXEL_UNROLL
    for (int j = 1; j < K; ++j) {
      VEXEL_UNROLL
      for (int i = 0; i < j; ++i) {
        const V v = (M[i][j] + M[j][i]) * 0.5;
        M[i][j] = v;
        M[j][i] = v;
      }
    }
  }

  static VEXEL_AI unsigned predict(const double* const* images, const double* const* Q, unsigned store,
                                   double* const* x, double* const* x_prior, double* const* P,
                                   double* const* P_prior) {
    V Y[R][N];
    V mean[N];
    load_images<N>(images, Y);
    centre<N>(Y, mean);
    V M[N][N];
    noisy_moment<N>(Y, Q, M);
    Mask ok = all();
    VEXEL_UNROLL
    for (int i = 0; i < N; ++i) ok &= finite(mean[i]);
    // The covariance is exactly symmetric: its lower triangle decides.
    V cov[N * N];
    ok &= column_major(M, cov);
    const unsigned answer = bits(ok);
    const unsigned write = store & answer;
    scatter<N>(write, mean, x);
    scatter<N>(write, mean, x_prior);
    scatter<N * N>(write, cov, P);
    scatter<N * N>(write, cov, P_prior);
    return answer;
  }

  static VEXEL_AI unsigned innovation(const double* const* xs, const double* const* images, const double* const* Rn,
                                      const double* const* z, unsigned angle_columns, TileWork& t) {
    V X[R][N];
    draw(xs, t.L, X);
    // State deviations about the mean the points came from.
    V x[N];
    gather_block<N>(xs, x);
    VEXEL_UNROLL
    for (int i = 0; i < N; ++i) {
      const V xi = x[i];
      VEXEL_UNROLL
      for (int r = 0; r < R; ++r) X[r][i] = X[r][i] - xi;
    }
    V Z[R][Mz];
    V zm[Mz];
    load_images<Mz>(images, Z);
    // The innovation of an angle goes the short way round: images of an
    // angle column moved within pi of the measurement, lane by lane where
    // one is not already (angles::around, as the one-filter path).
    const V pi = splat(3.141592653589793);
    VEXEL_UNROLL
    for (int k = 0; k < Mz; ++k) {
      if (!(angle_columns & (1u << k))) continue;
      const V zk = gather(z, k);
      VEXEL_UNROLL
      for (int r = 0; r < R; ++r) {
        const V d = Z[r][k] - zk;
        const unsigned near = bits((d > -pi) & (d <= pi));
        if (near == (1u << W) - 1) continue;
        for (int l = 0; l < W; ++l) {
          if (!(near & (1u << l))) Z[r][k][l] = angles::around(Z[r][k][l], zk[l]);
        }
      }
    }
    centre<Mz>(Z, zm);
    VEXEL_UNROLL
    for (int k = 0; k < Mz; ++k) put(t.z_mean, k, zm[k]);
    // Pxz = (sum over the points of x_r z_r^T) * w.
    const V w = splat(1.0 / static_cast<double>(R));
    V cross[N][Mz];
    VEXEL_UNROLL
    for (int i = 0; i < N; ++i) {
      VEXEL_UNROLL
      for (int k = 0; k < Mz; ++k) cross[i][k] = V{};
    }
    VEXEL_UNROLL
    for (int r = 0; r < R; ++r) {
      VEXEL_UNROLL
      for (int i = 0; i < N; ++i) {
        VEXEL_UNROLL
        for (int k = 0; k < Mz; ++k) cross[i][k] += X[r][i] * Z[r][k];
      }
    }
    VEXEL_UNROLL
    for (int k = 0; k < Mz; ++k) {
      VEXEL_UNROLL
      for (int i = 0; i < N; ++i) put(t.Pxz, k * N + i, cross[i][k] * w);
    }
    V S[Mz][Mz];
    noisy_moment<Mz>(Z, Rn, S);
    V FS[1][Mz][Mz];
    V (&F)[Mz][Mz] = FS[0];
    VEXEL_UNROLL
    for (int j = 0; j < Mz; ++j) {
      VEXEL_UNROLL
      for (int i = 0; i < Mz; ++i) {
        put(t.S, j * Mz + i, S[i][j]);
        if (i >= j) F[i][j] = S[i][j];
      }
    }
    Mask factored[1];
    cholesky<Mz, 1>(FS, factored);
    const Mask ok = factored[0];
    VEXEL_UNROLL
    for (int j = 0; j < Mz; ++j) {
      VEXEL_UNROLL
      for (int i = 0; i < Mz; ++i) put(t.LS, j * Mz + i, i >= j ? F[i][j] : V{});
    }
    // Inverse by L L^T X = I, column by column: forward from the column's
    // own row, then back.
    V B[Mz][Mz];  // B[c][i]: row i of column c
    VEXEL_UNROLL
    for (int c = 0; c < Mz; ++c) {
      VEXEL_UNROLL
      for (int i = 0; i < Mz; ++i) B[c][i] = splat(i == c ? 1.0 : 0.0);
    }
    VEXEL_UNROLL
    for (int k = 0; k < Mz; ++k) {
      VEXEL_UNROLL
      for (int c = 0; c <= k; ++c) {
        const V bk = B[c][k] / F[k][k];
        B[c][k] = bk;
        VEXEL_UNROLL
        for (int i = k + 1; i < Mz; ++i) B[c][i] -= F[i][k] * bk;
      }
    }
    VEXEL_UNROLL
    for (int k = Mz - 1; k >= 0; --k) {
      VEXEL_UNROLL
      for (int c = 0; c < Mz; ++c) {
        V s = B[c][k];
        VEXEL_UNROLL
        for (int i = k + 1; i < Mz; ++i) s -= F[i][k] * B[c][i];
        B[c][k] = s / F[k][k];
      }
    }
    VEXEL_UNROLL
    for (int c = 0; c < Mz; ++c) {
      VEXEL_UNROLL
      for (int i = 0; i < Mz; ++i) put(t.SI, c * Mz + i, B[c][i]);
    }
    return bits(ok);
  }

  static VEXEL_AI unsigned correct(const double* const* z, unsigned store, double* const* xs, double* const* P,
                                   TileWork& t) {
    // K = Pxz SI, then K y, K S and (K S) K^T: each entry from 0.0 over
    // its inner index in order.
    V K[N][Mz];
    VEXEL_UNROLL
    for (int i = 0; i < N; ++i) {
      VEXEL_UNROLL
      for (int j = 0; j < Mz; ++j) {
        V acc{};
        VEXEL_UNROLL
        for (int k = 0; k < Mz; ++k) acc += at(t.Pxz, k * N + i) * at(t.SI, j * Mz + k);
        K[i][j] = acc;
      }
    }
    V zs[Mz];
    gather_block<Mz>(z, zs);
    V y[Mz];
    VEXEL_UNROLL
    for (int k = 0; k < Mz; ++k) y[k] = zs[k] - at(t.z_mean, k);
    V KS[N][Mz];
    VEXEL_UNROLL
    for (int i = 0; i < N; ++i) {
      VEXEL_UNROLL
      for (int j = 0; j < Mz; ++j) {
        V acc{};
        VEXEL_UNROLL
        for (int k = 0; k < Mz; ++k) acc += K[i][k] * at(t.S, j * Mz + k);
        KS[i][j] = acc;
      }
    }
    Mask ok = all();
    V xn[N];
    gather_block<N>(xs, xn);
    V p[N * N];
    gather_block<N * N>(P, p);
    VEXEL_UNROLL
    for (int i = 0; i < N; ++i) {
      V ky{};
      VEXEL_UNROLL
      for (int k = 0; k < Mz; ++k) ky += K[i][k] * y[k];
      xn[i] = xn[i] + ky;
      ok &= finite(xn[i]);
    }
    V Pn[N][N];
    VEXEL_UNROLL
    for (int j = 0; j < N; ++j) {
      VEXEL_UNROLL
      for (int i = 0; i < N; ++i) {
        V acc{};
        VEXEL_UNROLL
        for (int k = 0; k < Mz; ++k) acc += KS[i][k] * K[j][k];
        Pn[i][j] = p[i * N + j] - acc;
      }
    }
    symmetrize<N>(Pn);
    V cov[N * N];
    ok &= column_major(Pn, cov);
    // d2 = y^T SI y as t = y^T SI, then sum_k y[k] t[k].
    V d2{};
    VEXEL_UNROLL
    for (int k = 0; k < Mz; ++k) {
      V tk{};
      VEXEL_UNROLL
      for (int i = 0; i < Mz; ++i) tk += y[i] * at(t.SI, k * Mz + i);
      d2 += y[k] * tk;
    }
    simd::store(t.d2, d2);
    // Every input has been read: the lanes' own storage takes the results.
    const unsigned write = store & bits(ok);
    scatter<N>(write, xn, xs);
    scatter<N * N>(write, cov, P);
    return bits(ok);
  }
};

#undef VEXEL_UNROLL

// The builds: the generic bodies inlined into plain functions (two lanes)
// and into functions compiled for AVX2 (four lanes).
#define VEXEL_TILE_BUILD(Name, Vec, Target)                                                                   \
  template <int N, int Mz>                                                                                     \
  struct Name {                                                                                                \
    using K = Lanes<Vec, N, Mz>;                                                                               \
    Target static unsigned factor(const double* const* P, TileWork& t) {                                       \
      TileWork* const tiles[1] = {&t};                                                                         \
      return K::template factor<1>(P, tiles);                                                                  \
    }                                                                                                          \
    Target static unsigned factor_pair(const double* const* P, TileWork& t0, TileWork& t1) {                   \
      TileWork* const tiles[2] = {&t0, &t1};                                                                   \
      return K::template factor<2>(P, tiles);                                                                  \
    }                                                                                                          \
    Target static void points(const double* const* x, const TileWork& t, double* const* rows) {                \
      K::points(x, t, rows);                                                                                   \
    }                                                                                                          \
    Target static void turn(const double* const* x, const TileWork& t, double dt, double* const* images) {     \
      if constexpr (N == 5) K::turn(x, t, dt, images);                                                         \
    }                                                                                                          \
    Target static void bearing(const double* const* x, const TileWork& t, const double* sensor,                \
                               const std::intptr_t* at, double* const* images) {                               \
      if constexpr (Mz == 2) K::bearing(x, t, sensor, at, images);                                             \
    }                                                                                                          \
    Target static unsigned predict(const double* const* im, const double* const* Q, unsigned store,            \
                                   double* const* x, double* const* xp, double* const* P, double* const* Pp,   \
                                   TileWork&) {                                                                \
      return K::predict(im, Q, store, x, xp, P, Pp);                                                           \
    }                                                                                                          \
    Target static unsigned innovation(const double* const* x, const double* const* im,                         \
                                      const double* const* Rn, const double* const* z, unsigned angles,        \
                                      TileWork& t) {                                                           \
      return K::innovation(x, im, Rn, z, angles, t);                                                           \
    }                                                                                                          \
    Target static unsigned correct(const double* const* z, unsigned store, double* const* x, double* const* P, \
                                   TileWork& t) {                                                              \
      return K::correct(z, store, x, P, t);                                                                    \
    }                                                                                                          \
  };

VEXEL_TILE_BUILD(PairBuild, simd::Pair, )
#ifdef VEXEL_AVX2_KERNELS
VEXEL_TILE_BUILD(QuadBuild, simd::Quad, __attribute__((target("avx2"))))
#endif
#undef VEXEL_TILE_BUILD

#undef VEXEL_AI

template <template <int, int> class Build, int N, int Mz>
constexpr TileKernels kernels_of(int lanes) {
  // The prediction's kernels do not depend on the measurement size: one
  // build serves every m.
  return TileKernels{lanes,
                     &Build<N, 1>::factor,
                     &Build<N, 1>::factor_pair,
                     &Build<N, 1>::points,
                     N == 5 ? &Build<N, 1>::turn : nullptr,
                     &Build<N, 1>::predict,
                     &Build<N, Mz>::innovation,
                     &Build<N, Mz>::correct,
                     Mz == 2 ? &Build<N, Mz>::bearing : nullptr};
}

template <template <int, int> class Build, int N>
constexpr TileKernels row_of(int lanes, Index m) {
  switch (m) {
    case 2: return kernels_of<Build, N, 2>(lanes);
    case 3: return kernels_of<Build, N, 3>(lanes);
    default: return kernels_of<Build, N, 1>(lanes);
  }
}

template <template <int, int> class Build>
TileKernels table_entry(int lanes, Index n, Index m) {
  switch (n) {
    case 1: return row_of<Build, 1>(lanes, m);
    case 2: return row_of<Build, 2>(lanes, m);
    case 3: return row_of<Build, 3>(lanes, m);
    case 4: return row_of<Build, 4>(lanes, m);
    case 5: return row_of<Build, 5>(lanes, m);
    default: return row_of<Build, 6>(lanes, m);
  }
}

/// The kernels of every size at one width, built once.
template <template <int, int> class Build>
const TileKernels* table(int lanes, Index n, Index m) {
  static const auto entries = [lanes] {
    struct Table {
      TileKernels k[kMaxTileStates][kMaxTileMeasurements];
    } t{};
    for (Index a = 1; a <= kMaxTileStates; ++a) {
      for (Index b = 1; b <= kMaxTileMeasurements; ++b) t.k[a - 1][b - 1] = table_entry<Build>(lanes, a, b);
    }
    return t;
  }();
  return &entries.k[n - 1][m - 1];
}

}  // namespace

const TileKernels* tile_kernels(Index n, Index m) {
  const int width = simd::tile_width();
  if (width <= 1 || n < 1 || n > kMaxTileStates || m < 0 || m > kMaxTileMeasurements) return nullptr;
  if (m == 0) m = 1;
#ifdef VEXEL_AVX2_KERNELS
  if (width == 4) return table<QuadBuild>(4, n, m);
#endif
  return table<PairBuild>(2, n, m);
}

}  // namespace vexel::bank
