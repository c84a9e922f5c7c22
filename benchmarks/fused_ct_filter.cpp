// Hand-fused covariance-form cubature Kalman filter on one model: a
// coordinated-turn target (state [px, py, vx, vy, omega]) seen by a range and
// bearing sensor at the origin.  Everything is fixed-size and inlined, with no
// callbacks, no allocation and no checks beyond the Cholesky factors: it is
// the lower bound a general engine running the same model can be held
// against.  Built and loaded by benchmarks/fused_build.py; not part of the
// package.
//
// The steps are those of the package's covariance-form filter:
//   predict  chol(P) = L; 2n points x +- sqrt(n) L[:, j]; propagate each;
//            mean; covariance of the images (weights 1/2n) + Q
//   update   chol(P_prior); points of the prior; measurement images; their
//            mean; S = cov(images) + R; Pxz; K = Pxz S^-1;
//            x += K y (bearing residual wrapped into (-pi, pi]);
//            P -= (K S) K^T
// both covariances symmetrised.

#include <Eigen/Core>
#include <Eigen/Cholesky>

#include <cmath>
#include <cstdint>

namespace {

constexpr int kN = 5;
constexpr int kM = 2;
constexpr int kPoints = 2 * kN;
constexpr double kPi = 3.141592653589793;

using Vec = Eigen::Matrix<double, kN, 1>;
using Mat = Eigen::Matrix<double, kN, kN>;
using Points = Eigen::Matrix<double, kN, kPoints>;   // one point per column
using Images = Eigen::Matrix<double, kM, kPoints>;
using ZVec = Eigen::Matrix<double, kM, 1>;
using ZMat = Eigen::Matrix<double, kM, kM>;
using Gain = Eigen::Matrix<double, kN, kM>;

/// Exact constant-turn motion of one state over dt.  Below |omega dt| = 1e-3
/// sin(w t)/w and (1 - cos(w t))/w come from their series (the closed forms
/// lose digits to cancellation there and divide by zero at omega = 0).
inline void turn(const double* x, double dt, double* out) {
  const double w = x[4];
  const double wt = w * dt;
  const double s = std::sin(wt);
  const double c = std::cos(wt);
  double a, b;  // sin(w dt) / w and (1 - cos(w dt)) / w
  if (std::fabs(wt) < 1e-3) {
    const double t2 = wt * wt;
    a = dt * (1.0 - t2 / 6.0 * (1.0 - t2 / 20.0));
    b = dt * wt * (0.5 - t2 / 24.0 * (1.0 - t2 / 30.0));
  } else {
    a = s / w;
    b = (1.0 - c) / w;
  }
  out[0] = x[0] + a * x[2] - b * x[3];
  out[1] = x[1] + b * x[2] + a * x[3];
  out[2] = c * x[2] - s * x[3];
  out[3] = s * x[2] + c * x[3];
  out[4] = w;
}

inline double wrap(double a) {
  if (a > -kPi && a <= kPi) return a;
  double r = std::fmod(a + kPi, 2.0 * kPi);
  if (r < 0.0) r += 2.0 * kPi;
  const double w = r - kPi;
  return w == -kPi ? kPi : w;
}

inline void symmetrize(Mat& P) { P = 0.5 * (P + P.transpose()).eval(); }

/// The 2n cubature points of (x, P); false when P has no Cholesky factor.
inline bool cubature_points(const Vec& x, const Mat& P, Points& X) {
  Eigen::LLT<Mat> llt(P);
  if (llt.info() != Eigen::Success) return false;
  const Mat L = llt.matrixL();
  const double c = std::sqrt(static_cast<double>(kN));
  for (int j = 0; j < kN; ++j) {
    X.col(j) = x + c * L.col(j);
    X.col(j + kN) = x - c * L.col(j);
  }
  return true;
}

}  // namespace

extern "C" {

/// Runs n_steps predict + update steps from (x0, P0) over the measurements zs
/// (n_steps x 2, row-major), writing the posterior means (n_steps x 5) and
/// covariances (n_steps x 5 x 5).  Q (5 x 5) and R (2 x 2) are symmetric.
/// Returns 0, or 1 + the step at which a covariance had no Cholesky factor.
int fused_ct_run(const double* zs, std::int64_t n_steps, const double* x0, const double* P0, const double* Q_in,
                 const double* R_in, double dt, double* xs_out, double* Ps_out) {
  Vec x = Eigen::Map<const Vec>(x0);
  Mat P = Eigen::Map<const Mat>(P0);
  const Mat Q = Eigen::Map<const Mat>(Q_in);
  const ZMat R = Eigen::Map<const ZMat>(R_in);
  const double w = 1.0 / kPoints;
  Points X, Y;
  Images Z;

  for (std::int64_t k = 0; k < n_steps; ++k) {
    // -- predict -----------------------------------------------------------
    if (!cubature_points(x, P, X)) return static_cast<int>(k + 1);
    for (int i = 0; i < kPoints; ++i) turn(X.col(i).data(), dt, Y.col(i).data());
    x = Y.rowwise().sum() * w;
    Y.colwise() -= x;
    P.noalias() = Y * Y.transpose() * w;
    P += Q;
    symmetrize(P);

    // -- update ------------------------------------------------------------
    if (!cubature_points(x, P, X)) return static_cast<int>(k + 1);
    for (int i = 0; i < kPoints; ++i) {
      const double px = X(0, i), py = X(1, i);
      Z(0, i) = std::hypot(px, py);
      Z(1, i) = std::atan2(py, px);
    }
    const ZVec z_pred = Z.rowwise().sum() * w;
    X.colwise() -= x;
    Z.colwise() -= z_pred;
    ZMat S = Z * Z.transpose() * w + R;
    S(0, 1) = S(1, 0) = 0.5 * (S(0, 1) + S(1, 0));
    const Gain Pxz = X * Z.transpose() * w;
    const double det = S(0, 0) * S(1, 1) - S(0, 1) * S(1, 0);
    ZMat SI;
    SI << S(1, 1) / det, -S(0, 1) / det, -S(1, 0) / det, S(0, 0) / det;
    const Gain K = Pxz * SI;
    ZVec y;
    y(0) = zs[2 * k] - z_pred(0);
    y(1) = wrap(zs[2 * k + 1] - z_pred(1));
    x += K * y;
    P -= (K * S) * K.transpose();
    symmetrize(P);

    Eigen::Map<Vec>(xs_out + kN * k) = x;
    Eigen::Map<Mat>(Ps_out + kN * kN * k) = P;  // symmetric: either storage order
  }
  return 0;
}

}  // extern "C"
