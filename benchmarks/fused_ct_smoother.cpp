// Hand-fused covariance-form cubature filter and RTS smoother over a panel of
// sequences of one model: a coordinated-turn target (state [px, py, vx, vy,
// omega]) seen by a range and bearing sensor at the origin, with missed
// scans (all-NaN rows) and a time step per sequence and step.  Everything is
// fixed-size and inlined, one sequence after the other on one thread, with
// no callbacks, no allocation and no checks beyond the Cholesky factors: the
// lower bound per sequence-step that a general engine filtering and
// smoothing the same panel can be held against.  Built and loaded by
// benchmarks/fused_build.py; not part of the package.
//
// The math is the package's covariance form, step for step:
//   predict  chol(P) = L; 2n points x +- sqrt(n) L[:, j]; propagate each with
//            the step's dt; mean; covariance of the images (weights 1/2n)
//            + Q; symmetrised
//   update   (skipped on a missed scan) chol(P_prior); points of the prior;
//            range and bearing of each; bearings unwrapped to within pi of
//            the measured one; their mean; S = cov(images) + R; Pxz; K =
//            Pxz S^-1; x += K (z - z_pred); P -= (K S) K^T, symmetrised;
//            log-likelihood of the innovation added to the sequence's total
//   smooth   from the last step back: chol of the filtered covariance k;
//            its 2n points redrawn and propagated with the dt of step k+1;
//            predicted mean and covariance + Q; cross-covariance C of the
//            points and images; G = C Pp^-1 by a Cholesky solve;
//            x_s = x + G (x_s[k+1] - xp); on request P_s = P + G (P_s[k+1]
//            - Pp) G^T, symmetrised.
// The model formulas are those of the built-in models (coordinated turn in
// half-angle form, one sine-cosine pair per point).  Where a product has a
// cheaper exact form the cheaper one is taken (a 2x2 inverse in closed
// form, a cross-covariance from the point pairs): the limit, not a copy.

#include <Eigen/Cholesky>
#include <Eigen/Core>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr int kN = 5;
constexpr int kM = 2;
constexpr int kPoints = 2 * kN;
constexpr double kPi = 3.141592653589793;
constexpr double kLn2Pi = 1.8378770664093453;

using Vec = Eigen::Matrix<double, kN, 1>;
using Mat = Eigen::Matrix<double, kN, kN>;
using Points = Eigen::Matrix<double, kN, kPoints>;  // one point per column
using Images = Eigen::Matrix<double, kM, kPoints>;
using ZVec = Eigen::Matrix<double, kM, 1>;
using ZMat = Eigen::Matrix<double, kM, kM>;
using Gain = Eigen::Matrix<double, kN, kM>;

/// sin(a) / a from sin_a = sin(a); its series below |a| = 1e-3.
inline double sinc(double a, double sin_a) {
  if (std::fabs(a) < 1e-3) {
    const double a2 = a * a;
    return 1.0 + a2 * (-1.0 / 6.0 + a2 * (1.0 / 120.0));
  }
  return sin_a / a;
}

/// Exact constant-turn motion of one state over dt: the displacement is dt
/// sinc(a/2) times the velocity turned by a/2 (a = omega dt), the velocity
/// turns by a through the half angle's double-angle formulas.
inline void turn(const double* x, double dt, double* out) {
  const double a = x[4] * dt;
  const double h = 0.5 * a;
  const double ch = std::cos(h), sh = std::sin(h);
  const double chord = dt * sinc(h, sh);
  const double ca = 1.0 - 2.0 * (sh * sh), sa = 2.0 * (sh * ch);
  out[0] = x[0] + chord * (ch * x[2] - sh * x[3]);
  out[1] = x[1] + chord * (sh * x[2] + ch * x[3]);
  out[2] = ca * x[2] - sa * x[3];
  out[3] = sa * x[2] + ca * x[3];
  out[4] = x[4];
}

/// a mapped to (-pi, pi].
inline double wrap(double a) {
  if (a > -kPi && a <= kPi) return a;
  double r = std::fmod(a + kPi, 2.0 * kPi);
  if (r < 0.0) r += 2.0 * kPi;
  const double w = r - kPi;
  return w == -kPi ? kPi : w;
}

inline void symmetrize(Mat& P) { P = 0.5 * (P + P.transpose()).eval(); }

/// L = chol(P) and the 2n cubature points of (x, P); false when P has no
/// Cholesky factor.
inline bool cubature_points(const Vec& x, const Mat& P, Mat& L, Points& X) {
  Eigen::LLT<Mat> llt(P);
  if (llt.info() != Eigen::Success) return false;
  L = llt.matrixL();
  const double c = std::sqrt(static_cast<double>(kN));
  for (int j = 0; j < kN; ++j) {
    X.col(j) = x + c * L.col(j);
    X.col(j + kN) = x - c * L.col(j);
  }
  return true;
}

/// Images of the points under the transition, their mean xp and the
/// covariance Pp = cov(images) + Q; Y is left holding the images.
inline void propagate(const Points& X, double dt, const Mat& Q, Points& Y, Vec& xp, Mat& Pp) {
  constexpr double w = 1.0 / kPoints;
  for (int i = 0; i < kPoints; ++i) turn(X.col(i).data(), dt, Y.col(i).data());
  xp = Y.rowwise().sum() * w;
  const Points Yc = Y.colwise() - xp;
  Pp.noalias() = Yc * Yc.transpose() * w;
  Pp += Q;
  symmetrize(Pp);
}

/// One sequence filtered forwards and smoothed backwards.  Returns false on
/// a covariance without a Cholesky factor (the caller marks the sequence).
bool smooth_sequence(const double* zs, const double* dts, std::int64_t n_steps, const double* x0, const Mat& P0,
                     const Mat& Q, const ZMat& R, bool covariances, double* xs, double* Ps_out, double* filtered_P,
                     double& loglik) {
  constexpr double w = 1.0 / kPoints;
  const double cross_scale = std::sqrt(static_cast<double>(kN)) / kPoints;
  Vec x = Eigen::Map<const Vec>(x0);
  Mat P = P0;
  Mat L;
  Points X, Y;
  Images Z;
  double total = 0.0;

  // -- filter -------------------------------------------------------------
  for (std::int64_t k = 0; k < n_steps; ++k) {
    if (!cubature_points(x, P, L, X)) return false;
    propagate(X, dts[k], Q, Y, x, P);
    const double* z = zs + kM * k;
    if (!(std::isnan(z[0]) && std::isnan(z[1]))) {
      if (!cubature_points(x, P, L, X)) return false;
      for (int i = 0; i < kPoints; ++i) {
        const double px = X(0, i), py = X(1, i);
        Z(0, i) = std::hypot(px, py);
        // The bearing of each point taken on the measured bearing's side of
        // the seam, so that the moments see the short way round.
        const double b = std::atan2(py, px);
        const double d = b - z[1];
        Z(1, i) = (d > -kPi && d <= kPi) ? b : z[1] + wrap(d);
      }
      const ZVec z_pred = Z.rowwise().sum() * w;
      // Pxz from the point pairs: the points deviate from x by +-sqrt(n) L.
      const Eigen::Matrix<double, kM, kN> B = Z.leftCols<kN>() - Z.rightCols<kN>();
      const Gain Pxz = cross_scale * (L * B.transpose());
      Z.colwise() -= z_pred;
      ZMat S = Z * Z.transpose() * w + R;
      S(0, 1) = S(1, 0) = 0.5 * (S(0, 1) + S(1, 0));
      const double det = S(0, 0) * S(1, 1) - S(0, 1) * S(1, 0);
      if (!(det > 0.0 && S(0, 0) > 0.0)) return false;
      ZMat SI;
      SI << S(1, 1) / det, -S(0, 1) / det, -S(1, 0) / det, S(0, 0) / det;
      const Gain K = Pxz * SI;
      ZVec y;
      y(0) = z[0] - z_pred(0);
      y(1) = z[1] - z_pred(1);
      x += K * y;
      P -= (K * S) * K.transpose();
      symmetrize(P);
      total += -0.5 * (y.dot(SI * y) + std::log(det) + kM * kLn2Pi);
    }
    Eigen::Map<Vec>(xs + kN * k) = x;
    Eigen::Map<Mat>(filtered_P + kN * kN * k) = P;
  }
  loglik = total;

  // -- smoother -----------------------------------------------------------
  // The last smoothed step is the filtered one (already in xs).
  Vec x_next = x;
  Mat P_next = P;
  if (Ps_out != nullptr) Eigen::Map<Mat>(Ps_out + kN * kN * (n_steps - 1)) = P;
  Vec xp;
  Mat Pp, C;
  for (std::int64_t k = n_steps - 2; k >= 0; --k) {
    const Vec xf = Eigen::Map<const Vec>(xs + kN * k);
    const Mat Pf = Eigen::Map<const Mat>(filtered_P + kN * kN * k);
    if (!cubature_points(xf, Pf, L, X)) return false;
    propagate(X, dts[k + 1], Q, Y, xp, Pp);
    const Mat B = Y.leftCols<kN>() - Y.rightCols<kN>();
    C.noalias() = cross_scale * (L * B.transpose());
    Eigen::LLT<Mat> llt(Pp);
    if (llt.info() != Eigen::Success) return false;
    // G = C Pp^-1, from Pp G^T = C^T.
    const Mat G = llt.solve(C.transpose()).transpose();
    x_next = xf + G * (x_next - xp);
    Eigen::Map<Vec>(xs + kN * k) = x_next;
    if (covariances) {
      P_next = Pf + G * (P_next - Pp) * G.transpose();
      symmetrize(P_next);
      if (Ps_out != nullptr) Eigen::Map<Mat>(Ps_out + kN * kN * k) = P_next;
    }
  }
  return true;
}

}  // namespace

extern "C" {

/// Filters and smooths n_seq sequences of n_steps steps: zs (n_seq x n_steps
/// x 2, a missed scan is a row of NaN), dts (n_seq x n_steps; step k predicts
/// with dts[k]), x0s (n_seq x 5), P0 (5 x 5, shared), Q (5 x 5 per sequence,
/// q_stride doubles apart: 0 for one shared Q), R (2 x 2).  Writes the
/// smoothed means into xs (n_seq x n_steps x 5); with `covariances` (or a
/// non-null Ps) the smoothed covariances are formed too (the means never
/// need them), and stored into Ps (n_seq x n_steps x 5 x 5) unless Ps is
/// null; the filter's total log-likelihood over the observed steps into
/// loglik (n_seq); and 0, or 2 for a covariance without a Cholesky factor,
/// into status (n_seq; that sequence's outputs are then NaN).
/// work holds n_steps * 25 doubles (the filtered covariances of one
/// sequence).  Returns the number of failed sequences.
std::int64_t fused_ct_panel_smooth(const double* zs, const double* dts, const double* x0s, const double* P0,
                                   const double* Q, std::int64_t q_stride, const double* R, std::int64_t n_seq,
                                   std::int64_t n_steps, int covariances, double* xs, double* Ps, double* loglik,
                                   std::int64_t* status, double* work) {
  const Mat P0m = Eigen::Map<const Mat>(P0);
  const ZMat Rm = Eigen::Map<const ZMat>(R);
  std::int64_t failed = 0;
  if (n_steps < 1) return 0;
  for (std::int64_t i = 0; i < n_seq; ++i) {
    const Mat Qm = Eigen::Map<const Mat>(Q + q_stride * i);
    double* xs_i = xs + i * n_steps * kN;
    double* Ps_i = Ps == nullptr ? nullptr : Ps + i * n_steps * kN * kN;
    const bool ok = smooth_sequence(zs + i * n_steps * kM, dts + i * n_steps, n_steps, x0s + kN * i, P0m, Qm, Rm,
                                    covariances != 0 || Ps_i != nullptr, xs_i, Ps_i, work, loglik[i]);
    status[i] = ok ? 0 : 2;
    if (!ok) {
      ++failed;
      const double nan = std::numeric_limits<double>::quiet_NaN();
      for (std::int64_t j = 0; j < n_steps * kN; ++j) xs_i[j] = nan;
      if (Ps_i != nullptr)
        for (std::int64_t j = 0; j < n_steps * kN * kN; ++j) Ps_i[j] = nan;
      loglik[i] = nan;
    }
  }
  return failed;
}

}  // extern "C"
