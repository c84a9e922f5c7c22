// The arithmetic of one linear Kalman step and of one smoother step, written
// once over matrix types whose sizes are either compile-time constants (the
// common small state and measurement sizes, fully unrolled, no allocation),
// run-time sizes bounded by a compile-time maximum (stack storage), or fully
// dynamic (storage sized once per call or per worker chunk).
//
// Orders of products are part of the contract and are kept literally:
// (F P) F^T + Q, (H P) H^T + R, (P H^T) Si, (A P) A^T + (K R) K^T with
// A = I - K H, each stored covariance symmetrised right after it is formed.
#pragma once

#include "../kernels/factorization.hpp"
#include "../kernels/linalg.hpp"
#include "../kernels/small_factorization.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace vexel::batch {

/// Matrix types of a step with state size N and measurement size M
/// (Eigen::Dynamic for run-time sizes), bounded by MaxN and MaxM.
template <int N, int M, int MaxN = N, int MaxM = M>
struct StepSizes {
  static constexpr int kN = N;
  static constexpr int kM = M;
  template <int R, int C, int MaxR, int MaxC>
  using Mat = Eigen::Matrix<double, R, C, (R == 1 && C != 1) ? Eigen::RowMajor : Eigen::ColMajor, MaxR, MaxC>;
  using MatNN = Mat<N, N, MaxN, MaxN>;
  using MatMN = Mat<M, N, MaxM, MaxN>;
  using MatNM = Mat<N, M, MaxN, MaxM>;
  using MatMM = Mat<M, M, MaxM, MaxM>;
  using VecN = Mat<N, 1, MaxN, 1>;
  using VecM = Mat<M, 1, MaxM, 1>;
  using RowM = Mat<1, M, 1, MaxM>;
  using IndexM = Eigen::Matrix<Index, M, 1, Eigen::ColMajor, MaxM, 1>;
};

/// For every pair i < j both entries become (a(i, j) + a(j, i)) * 0.5.
template <class Mat>
inline void symmetrize(Mat& a) {
  const Index n = a.rows();
  for (Index j = 1; j < n; ++j) {
    for (Index i = 0; i < j; ++i) {
      const double v = (a.coeff(i, j) + a.coeff(j, i)) * 0.5;
      a.coeffRef(i, j) = v;
      a.coeffRef(j, i) = v;
    }
  }
}

namespace detail {

/// Columns j .. j + J - 1 of c = a * b for a compile-time row count R, each
/// entry summed in the sequential order of `mul`.
template <int R, int J, class A, class B, class Cm>
inline __attribute__((always_inline)) void column_block(const A& a, const B& b, Cm& c, Index j, Index depth) {
  double acc[J][R];
  _Pragma("GCC unroll 4") for (int jj = 0; jj < J; ++jj) {
    const double b0 = b.coeff(0, j + jj);
    _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) acc[jj][i] = a.coeff(i, 0) * b0;
  }
  for (Index k = 1; k < depth; ++k) {
    _Pragma("GCC unroll 4") for (int jj = 0; jj < J; ++jj) {
      const double bk = b.coeff(k, j + jj);
      _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) acc[jj][i] += a.coeff(i, k) * bk;
    }
  }
  _Pragma("GCC unroll 4") for (int jj = 0; jj < J; ++jj) {
    _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) c.coeffRef(i, j + jj) = acc[jj][i];
  }
}

}  // namespace detail

/// a * b.  For storage bounded by 16 every entry is summed in plain
/// sequential order, c(i, j) = a(i, 0) b(0, j), then + a(i, k) b(k, j) for
/// k = 1, 2, ... (no blocking, no packing, no allocation: the fastest way
/// for small matrices).  That order does not depend on the shapes or the
/// storage orders of the operands, so the lane kernels (lane_step.hpp),
/// which step several filters at once with one filter per SIMD lane, repeat
/// it exactly and give every filter the bits of this path.  Fully dynamic
/// sizes take Eigen's blocked product.
template <class A, class B>
inline auto mul(const A& a, const B& b) {
  constexpr int kSmall = 16;
  constexpr bool small = A::MaxRowsAtCompileTime != Eigen::Dynamic && A::MaxRowsAtCompileTime <= kSmall &&
                         A::MaxColsAtCompileTime != Eigen::Dynamic && A::MaxColsAtCompileTime <= kSmall &&
                         B::MaxColsAtCompileTime != Eigen::Dynamic && B::MaxColsAtCompileTime <= kSmall;
  if constexpr (small) {
    constexpr int R = A::RowsAtCompileTime;
    constexpr int C = B::ColsAtCompileTime;
    using Result = Eigen::Matrix<double, R, C, (R == 1 && C != 1) ? Eigen::RowMajor : Eigen::ColMajor,
                                 A::MaxRowsAtCompileTime, B::MaxColsAtCompileTime>;
    Result c;
    c.resize(a.rows(), b.cols());
    const Index rows = a.rows();
    const Index cols = b.cols();
    const Index depth = a.cols();
    if (depth == 0) {
      c.setZero();
      return c;
    }
    if constexpr (R != Eigen::Dynamic && C != Eigen::Dynamic) {
      // Two columns at a time, their sums in local accumulators that stay
      // in registers across k: a sum's chain of additions then waits only
      // on the adder, not on a store and a reload per k, and two columns'
      // chains overlap.
      Index j = 0;
      for (; j + 2 <= C; j += 2) detail::column_block<R, 2>(a, b, c, j, depth);
      if constexpr (C % 2 != 0) detail::column_block<R, 1>(a, b, c, j, depth);
    } else {
      // Column by column, k outer and i inner: the entries of a column are
      // independent sums, so a column-major a is read down its columns.
      for (Index j = 0; j < cols; ++j) {
        const double b0 = b.coeff(0, j);
        for (Index i = 0; i < rows; ++i) c.coeffRef(i, j) = a.coeff(i, 0) * b0;
        for (Index k = 1; k < depth; ++k) {
          const double bk = b.coeff(k, j);
          for (Index i = 0; i < rows; ++i) c.coeffRef(i, j) += a.coeff(i, k) * bk;
        }
      }
    }
    return c;
  } else {
    return a * b;
  }
}

/// Which stage of the innovation inverse produced Si; Failed when none
/// could, NonFinite when one did but the posterior overflowed (a NaN or an
/// infinity in x or P).
enum class InverseStage { Cholesky, General, Pseudo, Failed, NonFinite };

/// Whether every entry of a is finite.
template <class Mat>
inline bool all_finite(const Mat& a) {
  const double* v = a.data();
  for (Index i = 0; i < a.size(); ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

/// Inverse of the symmetric matrix S through the three stages: the inverse
/// from the plain Cholesky factor (kept in L for the log-determinant), the
/// general inverse, the pseudo-inverse.  lu_work and perm are scratch for
/// the LU stage.  Only the pseudo-inverse stage allocates (it is reached only
/// for a singular S).
template <int M, class MatMM, class IndexM>
inline __attribute__((always_inline)) InverseStage invert_symmetric(const MatMM& S, MatMM& L, MatMM& Si, MatMM& lu_work, IndexM& perm) {
  const Index m = S.rows();
  if (small::cholesky_lower<M>(S.data(), L.data(), m)) {
    small::cholesky_inverse_from_factor<M>(L.data(), Si.data(), m);
    return InverseStage::Cholesky;
  }
  if (small::general_inverse(S.data(), Si.data(), m, lu_work.data(), perm.data())) return InverseStage::General;
  DMatrix s_copy = S;
  DMatrix pinv;
  if (pseudo_inverse(s_copy, pinv)) {
    Si = pinv;
    return InverseStage::Pseudo;
  }
  return InverseStage::Failed;
}

/// Working storage and arithmetic of one predict/update step of a linear
/// Kalman filter.  The model (F, H, Q, R), the identity and the state (x, P)
/// are loaded by the caller; the temporaries are reused from step to step.
template <class T>
struct KalmanStep {
  typename T::MatNN F, Q, I, P, FP, KH, A, AP, KRKt, Pn;
  typename T::MatMN H, HP;
  typename T::MatNM PHt, K, KR;
  typename T::MatMM R, S, L, Si, lu_work;
  typename T::VecN x, xp, Ky, xn;
  typename T::VecM z, y, Hx;
  typename T::RowM yS;
  typename T::IndexM perm;
  InverseStage stage = InverseStage::Failed;

  /// Sizes the storage (a no-op for compile-time sizes) and builds I.
  void resize(Index n, Index m) {
    for (auto* a : {&F, &Q, &I, &P, &FP, &KH, &A, &AP, &KRKt, &Pn}) a->resize(n, n);
    H.resize(m, n);
    HP.resize(m, n);
    for (auto* a : {&PHt, &K, &KR}) a->resize(n, m);
    for (auto* a : {&R, &S, &L, &Si, &lu_work}) a->resize(m, m);
    for (auto* a : {&x, &xp, &Ky, &xn}) a->resize(n);
    for (auto* a : {&z, &y, &Hx}) a->resize(m);
    yS.resize(1, m);
    perm.resize(m);
    I.setIdentity();
  }

  /// x = F x; P = (F P) F^T + Q, symmetrised.
  void predict() {
    xp.noalias() = mul(F, x);
    x = xp;
    FP.noalias() = mul(F, P);
    P.noalias() = mul(FP, F.transpose());
    P += Q;
    symmetrize(P);
  }

  /// Measurement update with the measurement in z and the predicted (x, P).
  /// Leaves the innovation y, its covariance S and (unless the inverse
  /// failed) Si and the posterior (x, P) in place; with InverseStage::Failed
  /// or InverseStage::NonFinite the prediction is left untouched.
  InverseStage update() {
    // Innovation and its covariance (H P) H^T + R, symmetrised.
    Hx.noalias() = mul(H, x);
    y = z - Hx;
    HP.noalias() = mul(H, P);
    S.noalias() = mul(HP, H.transpose());
    S += R;
    symmetrize(S);
    stage = invert_symmetric<T::kM>(S, L, Si, lu_work, perm);
    if (stage == InverseStage::Failed) return stage;
    // Gain (P H^T) Si and posterior mean.
    PHt.noalias() = mul(P, H.transpose());
    K.noalias() = mul(PHt, Si);
    Ky.noalias() = mul(K, y);
    xn = x + Ky;
    // Joseph form with the predicted P: (A P) A^T + (K R) K^T, A = I - K H.
    KH.noalias() = mul(K, H);
    A = I - KH;
    AP.noalias() = mul(A, P);
    Pn.noalias() = mul(AP, A.transpose());
    KR.noalias() = mul(K, R);
    KRKt.noalias() = mul(KR, K.transpose());
    Pn += KRKt;
    symmetrize(Pn);
    // An overflow is no posterior: the prediction stays in place.
    if (!all_finite(xn) || !all_finite(Pn)) {
      stage = InverseStage::NonFinite;
      return stage;
    }
    x = xn;
    P = Pn;
    return stage;
  }

  /// Log-likelihood of the last update: -0.5 * (max(m, 0) + (c + log_det))
  /// with m = (y^T Si) . y and log_det from the plain Cholesky factor of S;
  /// minus infinity when that factorisation failed (every fallback stage) or
  /// a diagonal entry of the factor is not a finite positive number.
  double log_likelihood(double c) {
    if (stage != InverseStage::Cholesky) return -std::numeric_limits<double>::infinity();
    const Index dim_z = y.size();
    yS.noalias() = mul(y.transpose(), Si);
    double mahal = 0.0;
    for (Index j = 0; j < dim_z; ++j) mahal += yS.coeff(j) * y.coeff(j);
    double log_det = 0.0;
    for (Index j = 0; j < dim_z; ++j) {
      const double d = L.coeff(j, j);
      if (!(d > 0.0) || !std::isfinite(d)) return -std::numeric_limits<double>::infinity();
      log_det += std::log(d);
    }
    log_det = 2.0 * log_det;
    const double m_pos = mahal > 0.0 ? mahal : 0.0;  // NaN counts as 0
    return -0.5 * (m_pos + (c + log_det));
  }
};

/// Working storage and arithmetic of the backward steps of the
/// Rauch-Tung-Striebel smoother, for a block of kBlock consecutive steps:
/// `gain(j)` forms step j's prediction and gain from its filtered state
/// alone, `combine(j)` then moves the smoothed state one step back.
template <class T>
struct SmootherStep {
  static constexpr int kBlock = 8;
  typename T::MatNN F, Q, FP, Lp, Pinv, lu_work, PFt, D, CD, Ps, Ps_next;
  typename T::VecN d, Cd, xs, xs_next;
  typename T::MatNN Pk[kBlock], Ppred[kBlock], C[kBlock];
  typename T::VecN xk[kBlock], xpred[kBlock];
  Eigen::Matrix<Index, T::kN, 1, Eigen::ColMajor, T::MatNN::MaxRowsAtCompileTime, 1> perm;

  void resize(Index n) {
    for (auto* a : {&F, &Q, &FP, &Lp, &Pinv, &lu_work, &PFt, &D, &CD, &Ps, &Ps_next}) a->resize(n, n);
    for (auto* a : {&d, &Cd, &xs, &xs_next}) a->resize(n);
    for (int j = 0; j < kBlock; ++j) {
      Pk[j].resize(n, n);
      Ppred[j].resize(n, n);
      C[j].resize(n, n);
      xk[j].resize(n);
      xpred[j].resize(n);
    }
    perm.resize(n);
  }

  /// From the filtered (xk[j], Pk[j]) and the transition (F, Q) of step
  /// k -> k+1: the prediction (xpred[j], Ppred[j]) and the gain C[j].  False
  /// when the predicted covariance cannot be inverted.
  bool gain(int j) {
    xpred[j].noalias() = mul(F, xk[j]);
    FP.noalias() = mul(F, Pk[j]);
    Ppred[j].noalias() = mul(FP, F.transpose());
    Ppred[j] += Q;
    symmetrize(Ppred[j]);
    if (invert_symmetric<T::kN>(Ppred[j], Lp, Pinv, lu_work, perm) == InverseStage::Failed) return false;
    // Gain C = (P_k F^T) Pinv.
    PFt.noalias() = mul(Pk[j], F.transpose());
    C[j].noalias() = mul(PFt, Pinv);
    return true;
  }

  /// The smoothed (xs_next, Ps_next) of step k+1 become those of step k,
  /// with the prediction and gain formed by gain(j).
  void combine(int j) {
    d = xs_next - xpred[j];
    Cd.noalias() = mul(C[j], d);
    xs = xk[j] + Cd;
    D = Ps_next - Ppred[j];
    CD.noalias() = mul(C[j], D);
    Ps.noalias() = mul(CD, C[j].transpose());
    Ps += Pk[j];  // P_k + (C D) C^T: addition is commutative in IEEE arithmetic
    symmetrize(Ps);
    xs_next = xs;
    Ps_next = Ps;
  }
};

}  // namespace vexel::batch
