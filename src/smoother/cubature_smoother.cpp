#include "cubature_smoother.hpp"

#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>


namespace vexel::smoother {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

std::string at_step(Index k) { return " (smoother step " + std::to_string(k) + ")"; }

Error with_step(Error e, Index k) {
  e.message += at_step(k);
  return e;
}

bool all_finite(const double* p, Index count) {
  for (Index i = 0; i < count; ++i) {
    if (!std::isfinite(p[i])) return false;
  }
  return true;
}

/// Rows of the QR stacks, rounded up to a multiple of four: the rows beyond
/// the stack are zero, so every column is a whole number of registers.
constexpr Index padded_rows(Index rows) { return (rows + 3) & ~Index{3}; }

/// Whether the square-root form merges the noise and the next smoothed factor
/// into one triangular factor before the smoothing QR (see `merge_upper_pair`).
/// Below 7 states the merge's serial chain of square roots costs more than
/// the two small products and the n more QR rows it saves.
constexpr bool merges(Index n) { return n > 6; }

/// Rows of the smoothing stack: 2n residual rows under which the noise and
/// the next smoothed factor take n rows merged or 2n apart.
constexpr Index smoothing_rows(Index n) { return padded_rows((merges(n) ? 3 : 4) * n); }

/// Working storage of the backward pass, sized once for the state dimension
/// so that no step allocates (only the transition's own images are new).
struct Workspace {
  Index n = 0;
  DVector x, xp, d, x_s, x_s_next, diag, reflector;
  DMatrix P, Q, L, X, Y, Xc, Yc, C, Pp, G, B, D, P_s, P_s_next, S_s_next, S_s, Sq, Sp, F, inv, A_pred, A_smooth, U;
  FactorWork factor_work;

  explicit Workspace(Index dim) : n(dim) {
    x.resize(n);
    xp.resize(n);
    d.resize(n);
    x_s.resize(n);
    x_s_next.resize(n);
    diag.resize(n);
    for (DMatrix* m : {&P, &Q, &L, &C, &Pp, &G, &B, &D, &P_s, &P_s_next, &S_s_next, &S_s, &Sq, &Sp, &F, &inv}) {
      m->resize(n, n);
    }
    X.resize(2 * n, n);
    Xc.resize(2 * n, n);
    Yc.resize(2 * n, n);
    A_pred = DMatrix::Zero(padded_rows(3 * n), n);
    A_smooth = DMatrix::Zero(smoothing_rows(n), n);
    reflector.resize(std::max(padded_rows(3 * n), smoothing_rows(n)));
    U.resize(2 * n, n);
    factor_work.W.resize(n, n);
    factor_work.L.resize(n, n);
    factor_work.d.resize(n);
  }
};

/// The Householder reflector that maps a column with head x0 and squared
/// norm s2 (from the head down) onto alpha e_head.  alpha takes the sign
/// opposite to the head, so that v = x - alpha e never cancels; ||v||^2 =
/// 2 (s2 + |x0| r), and beta = 2 / ||v||^2.  `eliminate` is false when the
/// column is already zero.
struct Reflector {
  double alpha;
  double v0;  // v's head, x0 - alpha
  double beta;
  bool eliminate;
};

__attribute__((always_inline)) inline Reflector reflector_of(double x0, double s2) {
  const double r = std::sqrt(s2);
  const double alpha = x0 >= 0.0 ? -r : r;
  const double f = 2.0 * (s2 + std::fabs(x0) * r);
  return {alpha, x0 - alpha, 2.0 / f, f != 0.0};
}

/// L = R^T from a triangularised stack a (column-major, m rows): R's rows
/// sit above the diagonal of a's first n rows, its diagonal in diag; each
/// column of L is flipped so that its diagonal is |R_ii|.
__attribute__((always_inline)) inline void lower_from_reflections(const double* a, Index m, Index n,
                                                                  const DVector& diag, DMatrix& L) {
  for (Index j = 0; j < n; ++j) {
    double* lj = L.col(j).data();
    const double d = diag.coeff(j);
    const double sign = d < 0.0 ? -1.0 : 1.0;
    for (Index i = 0; i < j; ++i) lj[i] = 0.0;
    lj[j] = std::fabs(d);
    for (Index i = j + 1; i < n; ++i) lj[i] = sign * a[i * m + j];
  }
}

/// Lower L with non-negative diagonal and L L^T = A^T A, from a Householder
/// QR of A done in place (A has n columns and at least n rows; it is
/// overwritten): L = R^T, each column flipped so that its diagonal is |R_ii|.
/// Column by column, for the stacks of up to 6 states, where the register
/// kernel below pays more for its set-up than it saves: no scratch, one
/// reciprocal per column, vectorised dots and updates.  With
/// `triangular_head` the first n rows are upper triangular: column i then
/// holds zeros in rows i+1 to n-1, which no earlier reflector touches, so
/// each reflector lives on row i and the rows from n on only.
void lower_factor_qr_by_columns(DMatrix& A, DVector& diag, DMatrix& L, bool triangular_head) {
  const Index m = A.rows();
  const Index n = A.cols();
  for (Index i = 0; i < n; ++i) {
    double* x = A.col(i).data();
    // The reflector's support below its head row: rows t0..m-1.
    const Index t0 = triangular_head ? n : i + 1;
    const Eigen::Map<const DVector> tail(x + t0, m - t0);
    const double x0 = x[i];
    const Reflector h = reflector_of(x0, x0 * x0 + tail.squaredNorm());
    diag.coeffRef(i) = h.alpha;
    if (!h.eliminate) continue;
    const double v0 = h.v0;
    x[i] = v0;
    const double beta = h.beta;
    // Each remaining column: one vectorised dot with v, one vectorised update.
    for (Index c = i + 1; c < n; ++c) {
      double* yc = A.col(c).data();
      Eigen::Map<DVector> y(yc + t0, m - t0);
      const double tau = beta * (v0 * yc[i] + tail.dot(y));
      yc[i] -= tau * v0;
      y -= tau * tail;
    }
  }
  lower_from_reflections(A.data(), m, n, diag, L);
}

/// Two doubles as one SSE2/NEON register, four as one AVX register (GCC and
/// Clang vector extensions).  Columns are read and written through `load`
/// and `store` (unaligned moves), never through pointers to these types.
typedef double Pair __attribute__((vector_size(16)));
typedef double Quad __attribute__((vector_size(32)));

template <class V>
constexpr Index kLanes = static_cast<Index>(sizeof(V) / sizeof(double));

// The helpers and the kernel pass AVX vectors by value, which GCC flags as
// an ABI change for code built without AVX; they are always inlined into
// the AVX2 entry point below, so no call ever crosses that boundary.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class V>
__attribute__((always_inline)) inline V load(const double* p) {
  V r;
  std::memcpy(&r, p, sizeof r);
  return r;
}

template <class V>
__attribute__((always_inline)) inline void store(double* p, const V& value) {
  std::memcpy(p, &value, sizeof value);
}

template <class V>
__attribute__((always_inline)) inline double lane_sum(const V& d) {
  double s = d[0];
  for (Index l = 1; l < kLanes<V>; ++l) s += d[l];
  return s;
}

/// C = (accumulate ? C : 0) + sign A op(B) for small column-major blocks:
/// A is rows by depth (leading dimension lda), op(B)(k, j) = B[k bk + j bj]
/// (bk = 1, bj = ldb for B itself; bk = ldb, bj = 1 for its transpose), C
/// rows by cols (ldc).  Each column of C is a sum of A's columns scaled by
/// entries of op(B), accumulated in k order; Regs registers of rows by four
/// columns at a time share their loads of A.
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

/// Lower L with non-negative diagonal and L L^T = A^T A, from a Householder
/// QR of A done in place (A has n columns and a multiple of four rows, at
/// least n, rows past the stack zero; it is overwritten): L = R^T, each
/// column flipped so that its diagonal is |R_ii|.  `v` is scratch of A's
/// row count.
/// Written out for the small stacks of the backward pass: the reflector is
/// kept in `v`, and dots and updates run over whole registers of rows (V),
/// four columns per pass over v.  The registers start at the head's, or
/// with `TriHead` (the first n rows upper triangular, as the predicted
/// stack's Sq^T) at row n's: column i is zero in rows i+1 to n-1, which no
/// earlier reflector touches, so each reflector is row i (taken apart) and
/// the rows from n on.  With N fixed (the common small models) the stack's
/// height is fixed too, and the loops are unrolled over it.
template <class V, int N, bool TriHead>
__attribute__((always_inline)) inline void qr_kernel(DMatrix& A, double* v, DVector& diag, DMatrix& L) {
  constexpr Index lanes = kLanes<V>;
  const Index m = N == Eigen::Dynamic ? A.rows() : TriHead ? padded_rows(3 * N) : smoothing_rows(N);
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

/// The kernel on SSE2/NEON pairs, which every build target has.
template <int N, bool TriHead>
void lower_factor_qr_pairs(DMatrix& A, double* v, DVector& diag, DMatrix& L) {
  if constexpr (N != Eigen::Dynamic && N <= 6) {
    lower_factor_qr_by_columns(A, diag, L, TriHead);
  } else {
    qr_kernel<Pair, N, TriHead>(A, v, diag, L);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define VEXEL_SMOOTHER_AVX2 1
/// The same kernel on AVX registers, compiled for AVX2 on its own and taken
/// where the processor has it: the two QRs are the larger part of a
/// square-root step from 7 states on.  Its sums run over four lanes, so its
/// last bits differ from the pairs' (each machine is consistent with itself).
/// Nothing but plain arithmetic is compiled for AVX2 here: no library code
/// shared with the rest of the build is.
template <int N, bool TriHead>
__attribute__((target("avx2"))) void lower_factor_qr_quads(DMatrix& A, double* v, DVector& diag, DMatrix& L) {
  qr_kernel<Quad, N, TriHead>(A, v, diag, L);
}
#endif

/// Upper R with R^T R = Sq Sq^T + S S^T, from a Householder QR of the stack
/// [Sq^T; S^T] done in place in U (2n by n; both halves upper triangular).
/// Column i of the stack is non-zero only in row i and rows n to n+i, and
/// no reflector fills in outside that pattern, so each reflector is i+2 long:
/// a few hundred operations where the general QR (or two n by n by n
/// products and n more rows in the smoothing QR) would take thousands.
/// R is the top half of U: zero below its diagonal as the input's top half
/// was, since no reflector touches those entries (R's diagonal may be
/// negative: only R^T R is used).
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

/// Each angle column of the images is moved by whole turns next to the
/// circular mean of that column, so that the sample mean and spread below
/// see one continuous cloud instead of points split across +-pi.
void unwrap_angle_columns(DMatrix& Y, const std::vector<Index>& angles) {
  const Index rows = Y.rows();
  const double w = 1.0 / static_cast<double>(rows);
  for (Index a : angles) {
    double* y = Y.col(a).data();
    double s = 0.0;
    double c = 0.0;
    for (Index i = 0; i < rows; ++i) {
      s += std::sin(y[i]);
      c += std::cos(y[i]);
    }
    const double centre = std::atan2(s * w, c * w);
    for (Index i = 0; i < rows; ++i) y[i] = centre + wrap_angle(y[i] - centre);
  }
}

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

  static void gain_times(Workspace& w) {
    Eigen::Map<Vec>(w.x_s.data(), w.n).noalias() = prod(cm(w.G), Eigen::Map<const Vec>(w.d.data(), w.n));
  }

  /// P_s = P + G (P_s[k+1] - Pp) G^T, mirrored from the lower triangle.
  static void covariance_correction(Workspace& w) {
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
  }

  /// The smoothing stack [root_w (Xc - Yc G^T); R G^T], with R^T R = Q +
  /// P_s[k+1] from `merge_upper_pair` (in U), or [root_w (Xc - Yc G^T);
  /// Sq^T G^T; S_s[k+1]^T G^T] where the form does not merge, written block
  /// by block into the workspace's stack.
  static void smoothing_stack(Workspace& w, double root_w) {
    const Index n = w.n;
    const Index rows = w.A_smooth.rows();
    CM G = cm(w.G);
    T Xc = t(w.Xc);
    Xc.noalias() = ct(w.X).rowwise() - Eigen::Map<const Vec>(w.x.data(), n).transpose();
    Xc.noalias() -= prod(ct(w.Yc), G.transpose());
    using Block = Eigen::Map<Mat, 0, Eigen::OuterStride<>>;
    Eigen::Map<TallMat, 0, Eigen::OuterStride<>> top(w.A_smooth.data(), 2 * n, n, Eigen::OuterStride<>(rows));
    top = root_w * Xc;
    Block noise(w.A_smooth.data() + 2 * n, n, n, Eigen::OuterStride<>(rows));
    if (merges(n)) {
      Eigen::Map<const Mat, 0, Eigen::OuterStride<>> R(w.U.data(), n, n, Eigen::OuterStride<>(w.U.rows()));
      noise.noalias() = prod(R, G.transpose());
    } else {
      Block next(w.A_smooth.data() + 3 * n, n, n, Eigen::OuterStride<>(rows));
      noise.noalias() = prod(cm(w.Sq).transpose(), G.transpose());
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

#ifdef VEXEL_SMOOTHER_AVX2
/// The merged smoothing stack of `Dense::smoothing_stack` on AVX registers,
/// for the same processors as the QR kernel: its two products are most of
/// the stack's cost.  A stack that does not merge goes to the Eigen version.
template <int N>
__attribute__((target("avx2"))) void smoothing_stack_quads(Workspace& w, double root_w) {
  const Index n = w.n;
  if (!merges(n)) {
    Dense<N>::smoothing_stack(w, root_w);
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
  // Xc - Yc G^T, then scaled into the stack's top; R G^T under it.
  small_product<Quad>(tall, n, n, w.Yc.data(), tall, w.G.data(), n, 1, xc, tall, -1.0, true);
  double* a = w.A_smooth.data();
  for (Index j = 0; j < n; ++j) {
    for (Index i = 0; i < tall; ++i) a[j * rows + i] = root_w * xc[j * tall + i];
  }
  small_product<Quad>(n, n, n, w.U.data(), w.U.rows(), w.G.data(), n, 1, a + tall, rows, 1.0, false);
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
    small_product<Quad>(n, n, n, w.L.data(), n, b, 1, n, c, n, 1.0, false);
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
    small_product<Quad>(n, n, tall, yt, n, yc, 1, tall, pp, n, 1.0, false);
    const double* q = w.Q.data();
    for (Index i = 0; i < n * n; ++i) pp[i] *= inv_2n;
    mirror_lower(pp, n);
    for (Index i = 0; i < n * n; ++i) pp[i] += q[i];
  }

  /// P_s = P + G (P_s[k+1] - Pp) G^T, mirrored from the lower triangle.
  __attribute__((target("avx2"))) static void covariance_correction(Workspace& w) {
    const Index n = w.n;
    double* d = w.D.data();
    const double* next = w.P_s_next.data();
    const double* pp = w.Pp.data();
    for (Index i = 0; i < n * n; ++i) d[i] = next[i] - pp[i];
    small_product<Quad>(n, n, n, w.G.data(), n, d, 1, n, w.B.data(), n, 1.0, false);
    double* ps = w.P_s.data();
    std::memcpy(ps, w.P.data(), sizeof(double) * static_cast<std::size_t>(n * n));
    small_product<Quad>(n, n, n, w.B.data(), n, w.G.data(), n, 1, ps, n, 1.0, true);
    mirror_lower(ps, n);
  }

  /// P_s = S_s S_s^T, mirrored from the lower triangle.
  __attribute__((target("avx2"))) static void factor_product(Workspace& w) {
    const Index n = w.n;
    const double* S = w.S_s.data();
    small_product<Quad>(n, n, n, S, n, S, n, 1, w.P_s.data(), n, 1.0, false);
    mirror_lower(w.P_s.data(), n);
  }
};
#endif
#pragma GCC diagnostic pop

struct DenseOps {
  void (*cross)(Workspace&, double);
  void (*predicted_covariance)(Workspace&, double);
  void (*solve_with_factor)(const DMatrix&, Workspace&);
  void (*gain_times)(Workspace&);
  void (*covariance_correction)(Workspace&);
  void (*predicted_factor_qr)(DMatrix&, double*, DVector&, DMatrix&);
  void (*smoothed_factor_qr)(DMatrix&, double*, DVector&, DMatrix&);
  void (*merge_upper_pair)(DMatrix&);
  void (*smoothing_stack)(Workspace&, double);
  void (*factor_product)(Workspace&);
};

using QrKernel = void (*)(DMatrix&, double*, DVector&, DMatrix&);

/// The AVX kernel where the processor has AVX2 (and the environment does not
/// set VEXEL_CKF_BASELINE_SIMD, which keeps every machine on the pairs, for
/// tests of that kernel), the pairs otherwise.
template <int N, bool TriHead>
QrKernel qr_kernel_for() {
#ifdef VEXEL_SMOOTHER_AVX2
  if constexpr (N == Eigen::Dynamic || N > 6) {
    static const bool avx2 = __builtin_cpu_supports("avx2") && std::getenv("VEXEL_CKF_BASELINE_SIMD") == nullptr;
    if (avx2) return &lower_factor_qr_quads<N, TriHead>;
  }
#endif
  return &lower_factor_qr_pairs<N, TriHead>;
}

template <int N>
DenseOps dense_ops() {
  DenseOps ops{&Dense<N>::cross,
               &Dense<N>::predicted_covariance,
               &Dense<N>::solve_with_factor,
               &Dense<N>::gain_times,
               &Dense<N>::covariance_correction,
               qr_kernel_for<N, true>(),
               qr_kernel_for<N, false>(),
               &merge_upper_pair<N>,
               &Dense<N>::smoothing_stack,
               &Dense<N>::factor_product};
#ifdef VEXEL_SMOOTHER_AVX2
  // The products on AVX registers where the QR runs on them too.
  if constexpr (N == Eigen::Dynamic || N > 6) {
    if (ops.smoothed_factor_qr == &lower_factor_qr_quads<N, false>) {
      ops.cross = &Quads<N>::cross;
      ops.predicted_covariance = &Quads<N>::predicted_covariance;
      ops.covariance_correction = &Quads<N>::covariance_correction;
      ops.smoothing_stack = &smoothing_stack_quads<N>;
      ops.factor_product = &Quads<N>::factor_product;
    }
  }
#endif
  return ops;
}

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

/// G = C Pp^-1, tried in the order of the innovation inverse: a solve with
/// the Cholesky factor of Pp (`factor`, or the plain Cholesky of Pp when
/// `factor` is null), then the general inverse, then the pseudo-inverse.
/// In square-root form Pp is formed only here, only when the factor from the
/// QR is singular.
bool solve_gain(Workspace& w, const DenseOps& ops, const DMatrix* factor) {
  bool have_factor = false;
  if (factor != nullptr) {
    have_factor = true;
    for (Index i = 0; i < w.n; ++i) {
      const double v = factor->coeff(i, i);
      if (!(v > 0.0) || !std::isfinite(v)) have_factor = false;
    }
  } else {
    have_factor = plain_cholesky(w.Pp, w.factor_work.W, w.F);
  }
  if (have_factor) {
    ops.solve_with_factor(factor != nullptr ? *factor : w.F, w);
    return true;
  }
  if (factor != nullptr) {
    w.Pp.noalias() = factor->lazyProduct(factor->transpose());
    symmetrize_in_place(w.Pp);
  }
  if (general_inverse(w.Pp, w.inv) || pseudo_inverse(w.Pp, w.inv)) {
    w.G.noalias() = w.C.lazyProduct(w.inv);
    return true;
  }
  return false;
}

void store_vector(double* out, const DVector& v) {
  for (Index i = 0; i < v.size(); ++i) out[i] = v.coeff(i);
}

void store_matrix(double* out, const DMatrix& m) {
  const Index r = m.rows();
  const Index c = m.cols();
  for (Index i = 0; i < r; ++i)
    for (Index j = 0; j < c; ++j) out[i * c + j] = m.coeff(i, j);
}

void wrap_angles(DVector& v, const std::vector<Index>& angles) {
  for (Index a : angles) v.coeffRef(a) = wrap_angle(v.coeff(a));
}

Status factor_of(const DMatrix& A, Workspace& w, DMatrix& L, Index k) {
  double jitter = 0.0;
  if (!stable_cholesky(A, w.factor_work, L, jitter)) {
    return with_step(Error::runtime("unable to compute stable Cholesky factor"), k);
  }
  return Status::success();
}

}  // namespace

double wrap_angle(double a) {
  if (a > -kPi && a <= kPi) return a;
  double r = std::fmod(a + kPi, kTwoPi);
  if (r < 0.0) r += kTwoPi;
  const double w = r - kPi;
  return w <= -kPi ? kPi : w;
}

Status run_cubature_smoother(const CubatureSmootherInputs& in, PointTransition& transition,
                             const CubatureSmootherOutputs& out) {
  const Index steps = in.xs.dims[0];
  const Index n = in.xs.dims[1];
  const bool sr = in.square_root;
  const std::vector<Index>& angles = in.angle_states;
  const Index nn = n * n;
  Workspace w(n);
  const DenseOps ops = dense_ops_for(n);
  const double root_w = 1.0 / std::sqrt(static_cast<double>(2 * n));

  // The last smoothed state is the filtered posterior.  In square-root form
  // its factor is the guarded factor of the filtered covariance, and the
  // covariance returned is that factor's product.
  const Index last = steps - 1;
  batch::load_row(in.xs, last, w.x_s_next);
  wrap_angles(w.x_s_next, angles);
  batch::load_slice(in.ps, last, w.P_s_next);
  if (sr) {
    if (Status s = factor_of(w.P_s_next, w, w.S_s_next, last); !s) return s;
    w.P_s_next.noalias() = w.S_s_next.lazyProduct(w.S_s_next.transpose());
    symmetrize_in_place(w.P_s_next);
    store_matrix(out.chol_ps + last * nn, w.S_s_next);
  }
  store_vector(out.xs + last * n, w.x_s_next);
  store_matrix(out.ps + last * nn, w.P_s_next);

  const bool q_full = in.qs.dims[0] == steps;
  const bool dt_full = in.dts.dims[0] == steps;
  const double cross_scale = std::sqrt(static_cast<double>(n)) / static_cast<double>(2 * n);
  const double inv_2n = 1.0 / static_cast<double>(2 * n);
  const char* q_factored = nullptr;  // the Q entry whose factor Sq holds
  auto dt_of = [&](Index k) { return in.dts.at(dt_full ? k + 1 : k); };
  // A call's point sets, images and factors, stacked step by step; sized for
  // the largest call once (a shorter call resizes them once more at most).
  // A call takes at most kCallDoubles of points.  Beyond that the
  // callback's per-call cost is long amortised, while the steps after the
  // call read their points and images back from the block, which should
  // still sit in a near cache (larger blocks, and the callback's arrays of
  // the same size, would also be fresh memory to fault in at every call).
  // Small states take the larger blocks: there a Python call costs as much
  // as tens of steps' arithmetic; from 7 states on the arithmetic dominates
  // and the smaller blocks' locality pays more.
  const Index kCallDoubles = n <= 6 ? Index{1} << 14 : Index{1} << 12;
  const Index per_call =
      std::max<Index>(1, std::min({in.steps_per_call, steps - 1, kCallDoubles / (2 * n * n)}));
  DMatrix points_block(2 * n * per_call, n);
  DMatrix images_block;
  DMatrix factors_block(n, n * per_call);
  for (Index hi = steps - 2; hi >= 0;) {
    // The steps hi, hi-1, ..., lo share one call: as many as allowed, all
    // with hi's time step (compared bit for bit).
    const double dt = dt_of(hi);
    Index lo = hi;
    while (lo > 0 && hi - lo + 1 < per_call) {
      const double before = dt_of(lo - 1);
      if (std::memcmp(&before, &dt, sizeof dt) != 0) break;
      --lo;
    }
    const Index count = hi - lo + 1;
    if (points_block.rows() != 2 * n * count) {
      points_block.resize(2 * n * count, n);
      factors_block.resize(n, n * count);
    }
    // 1. Cubature points of each filtered posterior, from its guarded factor
    //    (the same factorisation and jitter the filter's prediction uses); in
    //    square-root form this factor stands for P from here on.  Steps are
    //    taken from the last, in the pass's own order.
    for (Index k = hi; k >= lo; --k) {
      batch::load_row(in.xs, k, w.x);
      batch::load_slice(in.ps, k, w.P);
      if (Status s = factor_of(w.P, w, w.L, k); !s) return s;
      cubature_points_from_factor(w.x, w.L, points_block.data() + 2 * n * (k - lo), 1, points_block.rows());
      factors_block.middleCols(n * (k - lo), n) = w.L;
    }
    // 2. One transition call with all their points.
    if (Status s = transition.propagate(lo, count, points_block, dt, images_block); !s) return s;
    if (images_block.rows() != 2 * n * count || images_block.cols() != n) {
      internal_failure("images are 2n by n per step", __FILE__, __LINE__);
    }
    for (Index k = hi; k >= lo; --k) {
      const Index qi = q_full ? k + 1 : k;
      batch::load_row(in.xs, k, w.x);
      // Only the covariance form's correction reads P again.
      if (!sr) batch::load_slice(in.ps, k, w.P);
      // The points themselves are needed only by the square-root form's
      // residuals; the covariance form works from the factor.
      if (sr) w.X = points_block.middleRows(2 * n * (k - lo), 2 * n);
      w.L = factors_block.middleCols(n * (k - lo), n);
      w.Y = images_block.middleRows(2 * n * (k - lo), 2 * n);
      unwrap_angle_columns(w.Y, angles);
      // 3. Predicted mean; deviations of the images about it and of the points
      //    about the mean that generated them; their cross-covariance.
      row_mean(w.Y, n, w.xp);
      // The points deviate from x by +-sqrt(n) times the factor's columns, so
      // the cross-covariance (1/2n) sum (X_i - x)(Y_i - xp)^T pairs each plus
      // point with its minus twin: (sqrt(n) / 2n) L (Y_plus - Y_minus).  The
      // factor's strict upper triangle is exactly zero, so the plain product
      // (coefficient-wise, no blocking overhead at these sizes) is the
      // triangular one.
      ops.cross(w, cross_scale);
      // 4. Predicted covariance (or its factor) and the gain G = C Pp^-1.
      bool solved;
      if (sr) {
        // A broadcast Q is one memory slice for every step: factored once.
        const char* q_here = in.qs.data + qi * in.qs.strides[0];
        if (q_here != q_factored) {
          q_factored = nullptr;
          batch::load_slice(in.qs, qi, w.Q);
          double jitter = 0.0;
          if (!stable_cholesky(w.Q, w.factor_work, w.Sq, jitter)) {
            return Error::runtime("unable to compute stable Cholesky factor (smoother step " + std::to_string(k) +
                                  ", process noise Q)");
          }
          q_factored = q_here;
        }
        // [Sq^T; w Yc]^T [Sq^T; w Yc] = Q + Pyy: the predicted factor from one QR.
        // Sq^T on top is upper triangular, which the QR exploits.
        w.A_pred.topRows(n) = w.Sq.transpose();
        w.A_pred.middleRows(n, 2 * n) = root_w * w.Yc;
        w.A_pred.bottomRows(w.A_pred.rows() - 3 * n).setZero();
        ops.predicted_factor_qr(w.A_pred, w.reflector.data(), w.diag, w.Sp);
        solved = solve_gain(w, ops, &w.Sp);
      } else {
        // Sample covariance of the images (only the lower triangle is
        // formed, then mirrored), plus Q, symmetrised: the filter's
        // prediction formula.
        batch::load_slice(in.qs, qi, w.Q);
        ops.predicted_covariance(w, inv_2n);
        symmetrize_in_place(w.Pp);
        solved = solve_gain(w, ops, nullptr);
      }
      if (!solved) return with_step(Error::runtime("failed to invert innovation covariance"), k);
      // 5. Smoothed mean; angle differences are taken the short way round.
      w.d = w.x_s_next - w.xp;
      wrap_angles(w.d, angles);
      ops.gain_times(w);
      w.x_s += w.x;
      wrap_angles(w.x_s, angles);

      // 6. Smoothed covariance.
      if (sr) {
        // Residual points (Xc - Yc G^T) carry P - G Pp G^T once the noise and
        // the smoothed factor of k+1, both mapped by G, are stacked under them:
        // the stack's A^T A = P + G (P_s[k+1] - Pp) G^T, factored by one QR.
        // From 7 states on, the noise and the smoothed factor are first
        // merged into one triangular factor of their sum, which the stack
        // then takes as n rows instead of 2n.
        if (merges(n)) {
          w.U.topRows(n) = w.Sq.transpose();
          w.U.bottomRows(n) = w.S_s_next.transpose();
          ops.merge_upper_pair(w.U);
        }
        ops.smoothing_stack(w, root_w);
        w.A_smooth.bottomRows(w.A_smooth.rows() - (merges(n) ? 3 : 4) * n).setZero();
        ops.smoothed_factor_qr(w.A_smooth, w.reflector.data(), w.diag, w.S_s);
        ops.factor_product(w);
      } else {
        ops.covariance_correction(w);
      }
      symmetrize_in_place(w.P_s);

      // A result that overflowed is a failure, never a returned value.
      if (!all_finite(w.x_s.data(), n) || !all_finite(w.P_s.data(), nn) || !all_finite(w.G.data(), nn)) {
        return with_step(Error::runtime("smoothed estimate is not finite"), k);
      }
      store_vector(out.xs + k * n, w.x_s);
      // Exactly symmetric, so its column-major storage is its C order.
      std::memcpy(out.ps + k * nn, w.P_s.data(), sizeof(double) * static_cast<std::size_t>(nn));
      store_matrix(out.gains + k * nn, w.G);
      if (sr) {
        store_matrix(out.chol_ps + k * nn, w.S_s);
        w.S_s_next.swap(w.S_s);
      }
      w.x_s_next.swap(w.x_s);
      w.P_s_next.swap(w.P_s);
    }
    hi = lo - 1;
  }
  return Status::success();
}

}  // namespace vexel::smoother
