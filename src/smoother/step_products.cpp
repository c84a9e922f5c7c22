// The step products of the backward smoother, one build per fixed state size
// (Eigen unrolls and vectorises those), and their table.
#include "step_products.hpp"

#include "../angles/angles.hpp"
#include "../kernels/householder_qr.hpp"
#include "../kernels/simd_dispatch.hpp"
#include "../kernels/simd_vectors.hpp"
#include "../kernels/small_product.hpp"

#include <cstring>

namespace vexel::smoother {

namespace {

/// The dense products of one step with the state size fixed at compile time
/// for the common small models (N = Eigen::Dynamic beyond): the same
/// formulas on Maps of the workspace, which Eigen then unrolls and
/// vectorises instead of looping over run-time sizes.
template <int N>
struct Dense {
  static constexpr int kTall = N == Eigen::Dynamic ? Eigen::Dynamic : 2 * N;
  using Mat = Eigen::Matrix<double, N, N>;
  using TallMat = Eigen::Matrix<double, kTall, N>;
  using Vec = Eigen::Matrix<double, N, 1>;
  using M = Eigen::Map<Mat>;
  using CM = Eigen::Map<const Mat>;
  using T = Eigen::Map<TallMat>;
  using CT = Eigen::Map<const TallMat>;
  using Block = Eigen::Map<Mat, 0, Eigen::OuterStride<>>;

  /// Fixed sizes take the coefficient-wise product (unrolled and vectorised
  /// by Eigen; its blocked product only pays off beyond these sizes).
  template <class A, class B>
  static auto prod(const A& a, const B& b) {
    if constexpr (N == Eigen::Dynamic) {
      return a * b;
    } else {
      return a.lazyProduct(b);
    }
  }

  static M m(DMatrix& a) { return M(a.data(), a.rows(), a.cols()); }
  static CM cm(const DMatrix& a) { return CM(a.data(), a.rows(), a.cols()); }
  static T t(DMatrix& a) { return T(a.data(), a.rows(), a.cols()); }
  static CT ct(const DMatrix& a) { return CT(a.data(), a.rows(), a.cols()); }

  /// Yc = Y - xp row-wise; C = (sqrt(n) / 2n) L (Y_plus - Y_minus).
  static void cross(Workspace& w, double cross_scale) {
    const Index n = w.n;
    CT Y = ct(w.Y);
    t(w.Yc).noalias() = Y.rowwise() - Eigen::Map<const Vec>(w.xp.data(), n).transpose();
    m(w.B).noalias() = Y.topRows(n) - Y.bottomRows(n);
    m(w.C).noalias() = cross_scale * prod(cm(w.L), cm(w.B));
  }

  /// Pp = (1/2n) Yc^T Yc + Q (lower triangle formed, then mirrored).
  static void predicted_covariance(Workspace& w, double inv_2n) {
    M Pp = m(w.Pp);
    CT Yc = ct(w.Yc);
    if constexpr (N == Eigen::Dynamic) {
      Pp.noalias() = inv_2n * (Yc.transpose() * Yc);
    } else {
      // Coefficient-wise: only the lower triangle is computed.
      Pp.template triangularView<Eigen::Lower>() = inv_2n * Yc.transpose().lazyProduct(Yc);
    }
    Pp.template triangularView<Eigen::StrictlyUpper>() = Pp.transpose();
    Pp += cm(w.Q);
  }

  /// G F F^T = C, F lower with a strictly positive diagonal: one sweep
  /// forward (Z F^T = C) and one back (G F = Z), column by column.
  static void solve_with_factor(const DMatrix& Fd, Workspace& w) {
    const Index n = w.n;
    CM F = cm(Fd);
    M G = m(w.G);
    G = cm(w.C);
    for (Index j = 0; j < n; ++j) {
      for (Index k = 0; k < j; ++k) G.col(j) -= F.coeff(j, k) * G.col(k);
      G.col(j) *= 1.0 / F.coeff(j, j);
    }
    for (Index j = n - 1; j >= 0; --j) {
      for (Index k = j + 1; k < n; ++k) G.col(j) -= F.coeff(k, j) * G.col(k);
      G.col(j) *= 1.0 / F.coeff(j, j);
    }
  }

  /// x_s = x + G (x_s_next - xp), the difference and the result with their
  /// angles wrapped; whether x_s is finite.
  static bool mean_correction(Workspace& w, const std::vector<Index>& angles) {
    const Index n = w.n;
    using CV = Eigen::Map<const Vec>;
    Eigen::Map<Vec> d(w.d.data(), n);
    d = CV(w.x_s_next.data(), n) - CV(w.xp.data(), n);
    if (!angles.empty()) angles::wrap_entries(w.d, angles);
    Eigen::Map<Vec> x_s(w.x_s.data(), n);
    x_s.noalias() = prod(cm(w.G), CV(w.d.data(), n));
    x_s += CV(w.x.data(), n);
    if (!angles.empty()) angles::wrap_entries(w.x_s, angles);
    return all_finite(w.x_s.data(), n);
  }

  /// P_s = P + G (P_s[k+1] - Pp) G^T, mirrored from the lower triangle;
  /// whether it is finite.
  static bool covariance_correction(Workspace& w) {
    M B = m(w.B);
    CM G = cm(w.G);
    M D = m(w.D);
    D = cm(w.P_s_next) - cm(w.Pp);
    B.noalias() = prod(G, D);
    M P_s = m(w.P_s);
    P_s = cm(w.P);
    if constexpr (N == Eigen::Dynamic) {
      P_s.noalias() += B * G.transpose();
    } else {
      P_s.template triangularView<Eigen::Lower>() += B.lazyProduct(G.transpose());
    }
    P_s.template triangularView<Eigen::StrictlyUpper>() = P_s.transpose();
    return all_finite(w.P_s.data(), w.n * w.n);
  }

  /// The smoothing stack is [root_w (Xc - Yc G^T); R G^T], with R^T R = Q +
  /// P_s[k+1] from `merge_upper_pair` (in U), or [root_w (Xc - Yc G^T);
  /// Sq^T G^T; S_s[k+1]^T G^T] where the form does not merge, written block
  /// by block into the workspace's stack.  Its head, the blocks that do not
  /// depend on the smoothed step k+1: the residuals and, unmerged, the
  /// noise.
  static void smoothing_head(Workspace& w, double root_w) {
    const Index n = w.n;
    const Index rows = w.A_smooth.rows();
    CM G = cm(w.G);
    T Xc = t(w.Xc);
    Xc.noalias() = ct(w.X).rowwise() - Eigen::Map<const Vec>(w.x.data(), n).transpose();
    Xc.noalias() -= prod(ct(w.Yc), G.transpose());
    Eigen::Map<TallMat, 0, Eigen::OuterStride<>> top(w.A_smooth.data(), 2 * n, n, Eigen::OuterStride<>(rows));
    top = root_w * Xc;
    if (!merges(n)) {
      Block noise(w.A_smooth.data() + 2 * n, n, n, Eigen::OuterStride<>(rows));
      noise.noalias() = prod(cm(w.Sq).transpose(), G.transpose());
    }
  }

  /// The rest of the smoothing stack: R G^T, or S_s[k+1]^T G^T unmerged.
  static void smoothing_tail(Workspace& w) {
    const Index n = w.n;
    const Index rows = w.A_smooth.rows();
    CM G = cm(w.G);
    if (merges(n)) {
      Block noise(w.A_smooth.data() + 2 * n, n, n, Eigen::OuterStride<>(rows));
      Eigen::Map<const Mat, 0, Eigen::OuterStride<>> R(w.U.data(), n, n, Eigen::OuterStride<>(w.U.rows()));
      noise.noalias() = prod(R, G.transpose());
    } else {
      Block next(w.A_smooth.data() + 3 * n, n, n, Eigen::OuterStride<>(rows));
      next.noalias() = prod(cm(w.S_s_next).transpose(), G.transpose());
    }
  }

  /// P_s = S_s S_s^T.
  static void factor_product(Workspace& w) {
    M P_s = m(w.P_s);
    CM S = cm(w.S_s);
    if constexpr (N == Eigen::Dynamic) {
      P_s.noalias() = S * S.transpose();
    } else {
      P_s.template triangularView<Eigen::Lower>() = S.lazyProduct(S.transpose());
      P_s.template triangularView<Eigen::StrictlyUpper>() = P_s.transpose();
    }
  }
};

// The fixed-size combine of `Dense` (the part of a backward step that a
// fixed-lag window repeats lag times per filter step) on whole registers.
// Every coefficient is formed by the same operations in the same order as
// Eigen forms it in `Dense<N>` -- the rows Eigen takes in pairs as a running
// sum over k, the odd last row and the triangle's products as the halves of
// its unrolled reduction -- only more of them side by side, so the results
// equal `Dense<N>`'s bit for bit whichever register width runs them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
/// b(k) = p[k stride].
struct Strided {
  const double* p;
  Index stride;
  double operator()(Index k) const { return p[k * stride]; }
};

/// b(k) = u[k] - v[k], formed where it is used: a difference stored as one
/// register and read back entry by entry would wait for the store.
struct Difference {
  const double* u;
  const double* v;
  double operator()(Index k) const { return u[k] - v[k]; }
};

/// a(0) b(0) + a(1) b(1) + ... + a(N-1) b(N-1), added from the first term
/// on; a(k) is the register of rows at a + k lda, the factors b(k) come
/// from a `Strided` or a `Difference`.  (Registers are passed by reference,
/// never by value: no AVX register crosses a call of code built without
/// AVX.)
template <class V, int N, class Src>
__attribute__((always_inline)) inline void running_sum(const double* a, Index lda, const Src& b, V& s) {
  s = simd::load<V>(a) * b(0);
  for (int k = 1; k < N; ++k) s = simd::load<V>(a + k * lda) * b(k) + s;
}

/// The same terms added as Eigen's unrolled reduction adds them: the sum of
/// the first half, plus the sum of the second, recursively.
template <class V, int Start, int Length, class Src>
__attribute__((always_inline)) inline void halves_sum(const double* a, Index lda, const Src& b, V& s) {
  if constexpr (Length == 1) {
    s = simd::load<V>(a + Start * lda) * b(Start);
  } else {
    constexpr int kHalf = Length / 2;
    V first, second;
    halves_sum<V, Start, kHalf>(a, lda, b, first);
    halves_sum<V, Start + kHalf, Length - kHalf>(a, lda, b, second);
    s = first + second;
  }
}

template <int Start, int Length, class Src>
__attribute__((always_inline)) inline double halves_sum_scalar(const double* a, Index lda, const Src& b) {
  if constexpr (Length == 1) {
    return a[Start * lda] * b(Start);
  } else {
    constexpr int kHalf = Length / 2;
    return halves_sum_scalar<Start, kHalf>(a, lda, b) + halves_sum_scalar<Start + kHalf, Length - kHalf>(a, lda, b);
  }
}

/// Whether the lanes of `v` marked in `keep` (all bits set) are finite,
/// accumulated into `top` as `all_finite` does: the sign bit of a lane of
/// `top` ends set once any kept lane was infinite or NaN.
template <class V, class Bits, class Words>
__attribute__((always_inline)) inline void note_finite(const V& v, const Bits& keep, Words& top) {
  constexpr unsigned long long kExponent = 0x7ff0000000000000ULL;
  constexpr unsigned long long kLowestExponentBit = 0x0010000000000000ULL;
  // A cast between vector types of one size reinterprets the bits; the sums
  // are unsigned, where the carry into the top bit is defined.
  top |= ((reinterpret_cast<Words>(v) & kExponent) + kLowestExponentBit) & reinterpret_cast<Words>(keep);
}

typedef long long QuadBits __attribute__((vector_size(32)));
typedef long long PairBits __attribute__((vector_size(16)));
typedef unsigned long long QuadWords __attribute__((vector_size(32)));
typedef unsigned long long PairWords __attribute__((vector_size(16)));

/// Finiteness gathered from registers of both widths and single entries.
struct FiniteTally {
  QuadWords quads{};
  PairWords pairs{};
  unsigned long long single = 0;
  void note(const simd::Quad& v, const QuadBits& keep) { note_finite(v, keep, quads); }
  void note(const simd::Pair& v, const PairBits& keep) { note_finite(v, keep, pairs); }
  void note(double v) {
    unsigned long long bits;
    std::memcpy(&bits, &v, sizeof bits);
    single |= (bits & 0x7ff0000000000000ULL) + 0x0010000000000000ULL;
  }
  bool finite() const { return ((quads[0] | quads[1] | quads[2] | quads[3] | pairs[0] | pairs[1] | single) >> 63) == 0; }
};

/// The combine of the covariance form for N >= 4 states, its rows taken in
/// AVX registers of four from the top, then a pair, then the odd last row
/// alone: the chunks are the same for every column, so each register read
/// back is one register stored (a read straddling two stores would wait
/// for them).
template <int N>
struct Lanes {
  static_assert(N >= 4, "the lane kernels take at least one register of rows");
  static constexpr int kQuads = N / 4;
  static constexpr bool kPair = N % 4 >= 2;
  static constexpr bool kOdd = N % 2 == 1;
  static constexpr int kPairRow = 4 * kQuads;
  static constexpr int kOddRow = N - 1;

  /// y = A b for a column-major N by N block A, as Eigen's fixed-size lazy
  /// product forms it: rows in pairs as running sums, an odd last row as
  /// halves.
  template <class Src>
  __attribute__((always_inline)) static void product_column(const double* A, const Src& b, double* y,
                                                            FiniteTally* tally, const double* add) {
    for (int q = 0; q < kQuads; ++q) {
      simd::Quad s;
      running_sum<simd::Quad, N>(A + 4 * q, N, b, s);
      if (add != nullptr) {
        s = s + simd::load<simd::Quad>(add + 4 * q);
        tally->note(s, QuadBits{} == QuadBits{});
      }
      simd::store(y + 4 * q, s);
    }
    if constexpr (kPair) {
      simd::Pair s;
      running_sum<simd::Pair, N>(A + kPairRow, N, b, s);
      if (add != nullptr) {
        s = s + simd::load<simd::Pair>(add + kPairRow);
        tally->note(s, PairBits{} == PairBits{});
      }
      simd::store(y + kPairRow, s);
    }
    if constexpr (kOdd) {
      double s = halves_sum_scalar<0, N>(A + kOddRow, N, b);
      if (add != nullptr) {
        s = s + add[kOddRow];
        tally->note(s);
      }
      y[kOddRow] = s;
    }
  }

  /// `Dense<N>::mean_correction`, its finiteness read off the registers.
  __attribute__((always_inline)) static bool mean_correction(Workspace& w, const std::vector<Index>& angles) {
    const double* next = w.x_s_next.data();
    const double* xp = w.xp.data();
    FiniteTally tally;
    if (angles.empty()) {
      product_column(w.G.data(), Difference{next, xp}, w.x_s.data(), &tally, w.x.data());
      return tally.finite();
    }
    double* d = w.d.data();
    for (int i = 0; i < N; ++i) d[i] = next[i] - xp[i];
    angles::wrap_entries(w.d, angles);
    product_column(w.G.data(), Strided{d, 1}, w.x_s.data(), &tally, w.x.data());
    angles::wrap_entries(w.x_s, angles);
    return all_finite(w.x_s.data(), N);
  }

  /// `Dense<N>::covariance_correction` (B its scratch, n by n): B = G
  /// (P_s[k+1] - Pp), then the lower triangle of P + B G^T, mirrored;
  /// whether it is finite.
  __attribute__((always_inline)) static bool covariance_correction(const double* G, const double* P,
                                                                   const double* next, const double* pp, double* B,
                                                                   double* ps) {
    for (int j = 0; j < N; ++j) {
      // The column of the difference once, for all the rows.
      double d[N];
      for (int k = 0; k < N; ++k) d[k] = next[j * N + k] - pp[j * N + k];
      product_column(G, Strided{d, 1}, B + j * N, nullptr, nullptr);
    }
    // Column j of the triangle, in the same chunks, from the first chunk
    // that reaches row j (rows above j are written, then mirrored over, and
    // left out of the finiteness).  Term k of row i is B(i, k) G(j, k),
    // summed in halves.
    FiniteTally tally;
    QuadBits quad_row;
    for (int l = 0; l < 4; ++l) quad_row[l] = l;
    PairBits pair_row;
    for (int l = 0; l < 2; ++l) pair_row[l] = kPairRow + l;
    for (int j = 0; j < N; ++j) {
      const Strided g{G + j, N};
      for (int q = j / 4; q < kQuads; ++q) {
        simd::Quad t;
        halves_sum<simd::Quad, 0, N>(B + 4 * q, N, g, t);
        t = simd::load<simd::Quad>(P + j * N + 4 * q) + t;
        tally.note(t, QuadBits(quad_row + 4 * q >= j));
        simd::store(ps + j * N + 4 * q, t);
      }
      if constexpr (kPair) {
        if (j <= kPairRow + 1) {
          simd::Pair t;
          halves_sum<simd::Pair, 0, N>(B + kPairRow, N, g, t);
          t = simd::load<simd::Pair>(P + j * N + kPairRow) + t;
          tally.note(t, PairBits(pair_row >= j));
          simd::store(ps + j * N + kPairRow, t);
        }
      }
    }
    if constexpr (kOdd) {
      // The odd last row across the columns, four at a time: lane l of
      // chunk q is column 4q + l, whose term k is G(4q + l, k) B(N-1, k).
      // The register is also the last column's rows 4q.., the mirror of
      // the row.
      const Strided b{B + kOddRow, N};
      for (int q = 0; q < kQuads; ++q) {
        simd::Quad t;
        halves_sum<simd::Quad, 0, N>(G + 4 * q, N, b, t);
        simd::Quad p;
        for (int l = 0; l < 4; ++l) p[l] = P[(4 * q + l) * N + kOddRow];
        t = p + t;
        tally.note(t, QuadBits{} == QuadBits{});
        for (int l = 0; l < 4; ++l) ps[(4 * q + l) * N + kOddRow] = t[l];
        simd::store(ps + kOddRow * N + 4 * q, t);
      }
      for (int j = 4 * kQuads; j < N; ++j) {
        const double t = P[j * N + kOddRow] + halves_sum_scalar<0, N>(B + kOddRow, N, Strided{G + j, N});
        tally.note(t);
        ps[j * N + kOddRow] = t;
        if (j < kOddRow) ps[kOddRow * N + j] = t;
      }
    }
    // The rest of the upper triangle (the last column's is written above
    // when the row is odd).
    for (int j = 1; j < (kOdd ? N - 1 : N); ++j) {
      for (int i = 0; i < j; ++i) ps[j * N + i] = ps[i * N + j];
    }
    return tally.finite();
  }
};
#pragma GCC diagnostic pop

#ifdef VEXEL_AVX2_KERNELS
/// The lane kernels on AVX registers.
template <int N>
__attribute__((target("avx2"))) bool mean_correction_quads(Workspace& w, const std::vector<Index>& angles) {
  return Lanes<N>::mean_correction(w, angles);
}
template <int N>
__attribute__((target("avx2"))) bool covariance_correction_quads(Workspace& w) {
  return Lanes<N>::covariance_correction(w.G.data(), w.P.data(), w.P_s_next.data(), w.Pp.data(), w.B.data(),
                                         w.P_s.data());
}
/// `Dense<N>::solve_with_factor` with the columns of G held in registers
/// (the same entry-wise operations in the same order).
template <int N>
__attribute__((target("avx2"))) void solve_with_factor_quads(const DMatrix& Fd, Workspace& w) {
  using L = Lanes<N>;
  const double* F = Fd.data();
  const double* C = w.C.data();
  simd::Quad quad[N][L::kQuads > 0 ? L::kQuads : 1];
  simd::Pair pair[N];
  double odd[N];
  for (int j = 0; j < N; ++j) {
    for (int q = 0; q < L::kQuads; ++q) quad[j][q] = simd::load<simd::Quad>(C + j * N + 4 * q);
    if constexpr (L::kPair) pair[j] = simd::load<simd::Pair>(C + j * N + L::kPairRow);
    if constexpr (L::kOdd) odd[j] = C[j * N + L::kOddRow];
  }
  // G.col(j) -= f G.col(k), then G.col(j) *= r, entry by entry: forward
  // (f = F(j, k)), then back (f = F(k, j)).
  for (int sweep = 0; sweep < 2; ++sweep) {
    for (int step = 0; step < N; ++step) {
      const int j = sweep == 0 ? step : N - 1 - step;
      const int k0 = sweep == 0 ? 0 : j + 1;
      const int k1 = sweep == 0 ? j : N;
      for (int k = k0; k < k1; ++k) {
        const double f = sweep == 0 ? F[k * N + j] : F[j * N + k];
        for (int q = 0; q < L::kQuads; ++q) quad[j][q] = quad[j][q] - quad[k][q] * f;
        if constexpr (L::kPair) pair[j] = pair[j] - pair[k] * f;
        if constexpr (L::kOdd) odd[j] = odd[j] - odd[k] * f;
      }
      const double r = 1.0 / F[j * N + j];
      for (int q = 0; q < L::kQuads; ++q) quad[j][q] = quad[j][q] * r;
      if constexpr (L::kPair) pair[j] = pair[j] * r;
      if constexpr (L::kOdd) odd[j] = odd[j] * r;
    }
  }
  double* G = w.G.data();
  for (int j = 0; j < N; ++j) {
    for (int q = 0; q < L::kQuads; ++q) simd::store(G + j * N + 4 * q, quad[j][q]);
    if constexpr (L::kPair) simd::store(G + j * N + L::kPairRow, pair[j]);
    if constexpr (L::kOdd) G[j * N + L::kOddRow] = odd[j];
  }
}

/// `Dense<N>::cross`: Yc = Y - xp row-wise, B = Y_plus - Y_minus and C =
/// s (L B), the scale applied to each entry of the product.
template <int N>
__attribute__((target("avx2"))) void cross_quads(Workspace& w, double cross_scale) {
  const double* Y = w.Y.data();
  const double* xp = w.xp.data();
  double* yc = w.Yc.data();
  double* b = w.B.data();
  for (int j = 0; j < N; ++j) {
    const double m = xp[j];
    for (int i = 0; i < 2 * N; ++i) yc[j * 2 * N + i] = Y[j * 2 * N + i] - m;
    for (int i = 0; i < N; ++i) b[j * N + i] = Y[j * 2 * N + i] - Y[j * 2 * N + N + i];
  }
  using Ln = Lanes<N>;
  const double* L = w.L.data();
  double* c = w.C.data();
  for (int j = 0; j < N; ++j) {
    const Strided column{b + j * N, 1};
    for (int q = 0; q < Ln::kQuads; ++q) {
      simd::Quad t;
      running_sum<simd::Quad, N>(L + 4 * q, N, column, t);
      simd::store(c + j * N + 4 * q, t * cross_scale);
    }
    if constexpr (Ln::kPair) {
      simd::Pair t;
      running_sum<simd::Pair, N>(L + Ln::kPairRow, N, column, t);
      simd::store(c + j * N + Ln::kPairRow, t * cross_scale);
    }
    if constexpr (Ln::kOdd) c[j * N + Ln::kOddRow] = cross_scale * halves_sum_scalar<0, N>(L + Ln::kOddRow, N, column);
  }
}

/// `Dense<N>::smoothing_tail` where the stack does not merge: the block
/// S_s[k+1]^T G^T, entry (i, j) the halves of sum_k S(k, i) G(j, k).  A
/// register holds row i across four columns j (G's columns are rows of
/// the block's), scattered into the stack.
template <int N>
__attribute__((target("avx2"))) void smoothing_tail_quads_small(Workspace& w) {
  using Ln = Lanes<N>;
  const Index rows = w.A_smooth.rows();
  double* next = w.A_smooth.data() + 3 * N;
  const double* S = w.S_s_next.data();
  const double* G = w.G.data();
  for (int i = 0; i < N; ++i) {
    const Strided s{S + i * N, 1};  // S(k, i)
    for (int q = 0; q < Ln::kQuads; ++q) {
      simd::Quad t;
      halves_sum<simd::Quad, 0, N>(G + 4 * q, N, s, t);
      for (int l = 0; l < 4; ++l) next[(4 * q + l) * rows + i] = t[l];
    }
    for (int j = 4 * Ln::kQuads; j < N; ++j) next[j * rows + i] = halves_sum_scalar<0, N>(G + j, N, s);
  }
}

/// Both corrections on buffers held elsewhere, without angles: what the
/// two above do on the workspace.
template <int N>
__attribute__((target("avx2"))) bool combine_covariance_quads(const CombineBuffers& c, double* scratch) {
  FiniteTally tally;
  Lanes<N>::product_column(c.G, Difference{c.x_s_next, c.xp}, c.x_s, &tally, c.x);
  const bool mean_finite = tally.finite();
  return Lanes<N>::covariance_correction(c.G, c.P, c.P_s_next, c.Pp, scratch, c.P_s) && mean_finite;
}
#endif

#ifdef VEXEL_AVX2_KERNELS
// The AVX2 builds below pass no vector by value; the kernels they inline do.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
/// The merged smoothing stack of `Dense::smoothing_head` and `_tail` on AVX
/// registers, for the same processors as the QR kernel: its two products
/// are most of the stack's cost.  A stack that does not merge goes to the
/// Eigen version.
template <int N>
__attribute__((target("avx2"))) void smoothing_head_quads(Workspace& w, double root_w) {
  const Index n = w.n;
  if (!merges(n)) {
    Dense<N>::smoothing_head(w, root_w);
    return;
  }
  const Index tall = 2 * n;
  const Index rows = w.A_smooth.rows();
  double* xc = w.Xc.data();
  const double* X = w.X.data();
  for (Index j = 0; j < n; ++j) {
    const double xj = w.x.coeff(j);
    for (Index i = 0; i < tall; ++i) xc[j * tall + i] = X[j * tall + i] - xj;
  }
  // Xc - Yc G^T, then scaled into the stack's top.
  simd::small_product<simd::Quad>(tall, n, n, w.Yc.data(), tall, w.G.data(), n, 1, xc, tall, -1.0, true);
  double* a = w.A_smooth.data();
  for (Index j = 0; j < n; ++j) {
    for (Index i = 0; i < tall; ++i) a[j * rows + i] = root_w * xc[j * tall + i];
  }
}

/// R G^T under the top.
template <int N>
__attribute__((target("avx2"))) void smoothing_tail_quads(Workspace& w) {
  const Index n = w.n;
  if (!merges(n)) {
    Dense<N>::smoothing_tail(w);
    return;
  }
  const Index rows = w.A_smooth.rows();
  double* a = w.A_smooth.data();
  simd::small_product<simd::Quad>(n, n, n, w.U.data(), w.U.rows(), w.G.data(), n, 1, a + 2 * n, rows, 1.0, false);
}

/// Upper triangle of a square column-major block set from its lower one.
__attribute__((always_inline)) inline void mirror_lower(double* a, Index n) {
  for (Index j = 1; j < n; ++j) {
    for (Index i = 0; i < j; ++i) a[j * n + i] = a[i * n + j];
  }
}

/// The products of `Dense` that both forms spend most on, on AVX registers,
/// for the same processors and state sizes as the QR kernel: the same
/// formulas, each product by `small_product`.
template <int N>
struct Quads {
  /// Yc = Y - xp row-wise; C = (sqrt(n) / 2n) L (Y_plus - Y_minus).
  __attribute__((target("avx2"))) static void cross(Workspace& w, double cross_scale) {
    const Index n = w.n;
    const Index tall = 2 * n;
    const double* Y = w.Y.data();
    double* yc = w.Yc.data();
    double* b = w.B.data();
    for (Index j = 0; j < n; ++j) {
      const double m = w.xp.coeff(j);
      for (Index i = 0; i < tall; ++i) yc[j * tall + i] = Y[j * tall + i] - m;
      for (Index i = 0; i < n; ++i) b[j * n + i] = Y[j * tall + i] - Y[j * tall + n + i];
    }
    double* c = w.C.data();
    simd::small_product<simd::Quad>(n, n, n, w.L.data(), n, b, 1, n, c, n, 1.0, false);
    for (Index i = 0; i < n * n; ++i) c[i] *= cross_scale;
  }

  /// Pp = (1/2n) Yc^T Yc + Q, mirrored from the lower triangle (Yc^T is
  /// laid out in Xc, which the covariance form does not use).
  __attribute__((target("avx2"))) static void predicted_covariance(Workspace& w, double inv_2n) {
    const Index n = w.n;
    const Index tall = 2 * n;
    const double* yc = w.Yc.data();
    double* yt = w.Xc.data();
    for (Index j = 0; j < n; ++j) {
      for (Index k = 0; k < tall; ++k) yt[k * n + j] = yc[j * tall + k];
    }
    double* pp = w.Pp.data();
    simd::small_product<simd::Quad>(n, n, tall, yt, n, yc, 1, tall, pp, n, 1.0, false);
    const double* q = w.Q.data();
    for (Index i = 0; i < n * n; ++i) pp[i] *= inv_2n;
    mirror_lower(pp, n);
    for (Index i = 0; i < n * n; ++i) pp[i] += q[i];
  }

  /// P_s = P + G (P_s[k+1] - Pp) G^T, mirrored from the lower triangle;
  /// whether it is finite.
  __attribute__((target("avx2"))) static bool covariance_correction(Workspace& w) {
    const Index n = w.n;
    double* d = w.D.data();
    const double* next = w.P_s_next.data();
    const double* pp = w.Pp.data();
    for (Index i = 0; i < n * n; ++i) d[i] = next[i] - pp[i];
    simd::small_product<simd::Quad>(n, n, n, w.G.data(), n, d, 1, n, w.B.data(), n, 1.0, false);
    double* ps = w.P_s.data();
    std::memcpy(ps, w.P.data(), sizeof(double) * static_cast<std::size_t>(n * n));
    simd::small_product<simd::Quad>(n, n, n, w.B.data(), n, w.G.data(), n, 1, ps, n, 1.0, true);
    mirror_lower(ps, n);
    return all_finite(ps, n * n);
  }

  /// P_s = S_s S_s^T, mirrored from the lower triangle.
  __attribute__((target("avx2"))) static void factor_product(Workspace& w) {
    const Index n = w.n;
    const double* S = w.S_s.data();
    simd::small_product<simd::Quad>(n, n, n, S, n, S, n, 1, w.P_s.data(), n, 1.0, false);
    mirror_lower(w.P_s.data(), n);
  }
};
#pragma GCC diagnostic pop
#endif

/// Rows of the stacks that the two QRs of a fixed size N triangularise
/// (Eigen::Dynamic for a run-time size, taken from the stack).
template <int N>
constexpr int kPredictedRows = N == Eigen::Dynamic ? Eigen::Dynamic : static_cast<int>(padded_rows(3 * N));
template <int N>
constexpr int kSmoothingRows = N == Eigen::Dynamic ? Eigen::Dynamic : static_cast<int>(smoothing_rows(N));

template <int N>
DenseOps dense_ops() {
  DenseOps ops{&Dense<N>::cross,
               &Dense<N>::predicted_covariance,
               &Dense<N>::solve_with_factor,
               &Dense<N>::mean_correction,
               &Dense<N>::covariance_correction,
               &lower_factor_qr_pairs<N, kPredictedRows<N>, true>,
               &lower_factor_qr_pairs<N, kSmoothingRows<N>, false>,
               &merge_upper_pair<N>,
               &Dense<N>::smoothing_head,
               &Dense<N>::smoothing_tail,
               &Dense<N>::factor_product,
               nullptr};
#ifdef VEXEL_AVX2_KERNELS
  // The QRs are the larger part of a square-root step from 7 states on:
  // there, where the processor has AVX2, they run on AVX registers, and so
  // do the products.
  if constexpr (N == Eigen::Dynamic || N > 6) {
    if (simd::avx2_kernels()) {
      ops.predicted_factor_qr = &lower_factor_qr_quads<N, kPredictedRows<N>, true>;
      ops.smoothed_factor_qr = &lower_factor_qr_quads<N, kSmoothingRows<N>, false>;
      ops.cross = &Quads<N>::cross;
      ops.predicted_covariance = &Quads<N>::predicted_covariance;
      ops.covariance_correction = &Quads<N>::covariance_correction;
      ops.smoothing_head = &smoothing_head_quads<N>;
      ops.smoothing_tail = &smoothing_tail_quads<N>;
      ops.factor_product = &Quads<N>::factor_product;
    }
  }
  // The combine, repeated lag times per step by a fixed-lag window, on AVX
  // registers for the sizes whose paired rows fill one: the same bits as
  // `Dense<N>`'s.
  if constexpr (N != Eigen::Dynamic && N >= 4 && N <= 6) {
    if (simd::avx2_kernels()) {
      ops.mean_correction = &mean_correction_quads<N>;
      ops.covariance_correction = &covariance_correction_quads<N>;
      ops.combine_covariance = &combine_covariance_quads<N>;
      ops.cross = &cross_quads<N>;
      ops.smoothing_tail = &smoothing_tail_quads_small<N>;
      // (Four states gain nothing from it.)
      if constexpr (N > 4) ops.solve_with_factor = &solve_with_factor_quads<N>;
    }
  }
#endif
  return ops;
}

}  // namespace

DenseOps dense_ops_for(Index n) {
  switch (n) {
    case 2: return dense_ops<2>();
    case 3: return dense_ops<3>();
    case 4: return dense_ops<4>();
    case 5: return dense_ops<5>();
    case 6: return dense_ops<6>();
    case 12: return dense_ops<12>();
    default: return dense_ops<Eigen::Dynamic>();
  }
}


}  // namespace vexel::smoother
