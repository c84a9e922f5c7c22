#include "cubature_smoother.hpp"

#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"
#include "../kernels/qr.hpp"

#include <cmath>
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

/// Working storage of the backward pass, sized once for the state dimension.
struct Workspace {
  Index n = 0;
  DVector x, xp, d, x_s, x_s_next;
  DMatrix P, Q, Y, Xc, Yc, C, Pp, G, B, D, P_s, P_s_next, S_s_next, A_pred, A_smooth;

  explicit Workspace(Index dim) : n(dim) {
    x.resize(n);
    xp.resize(n);
    d.resize(n);
    x_s.resize(n);
    x_s_next.resize(n);
    for (DMatrix* m : {&P, &Q, &C, &Pp, &G, &B, &D, &P_s, &P_s_next, &S_s_next}) m->resize(n, n);
    Xc.resize(2 * n, n);
    Yc.resize(2 * n, n);
    A_pred.resize(3 * n, n);
    A_smooth.resize(4 * n, n);
  }
};

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

/// G = C Pp^-1, tried in the order of the innovation inverse: a solve with
/// the Cholesky factor of Pp (`factor`, or the plain Cholesky of Pp when
/// `factor` is null), then the general inverse, then the pseudo-inverse.
/// In square-root form Pp is formed only here, only when the factor from the
/// QR is singular.
bool solve_gain(Workspace& w, const DMatrix* factor) {
  DMatrix L;
  bool have_factor = false;
  if (factor != nullptr) {
    have_factor = true;
    for (Index i = 0; i < w.n; ++i) {
      const double v = factor->coeff(i, i);
      if (!(v > 0.0) || !std::isfinite(v)) have_factor = false;
    }
  } else {
    have_factor = plain_cholesky(w.Pp, L);
  }
  if (have_factor) {
    // G F F^T = C: two triangular solves from the right (the factor's
    // diagonal is strictly positive, so neither can fail).
    const DMatrix& F = factor != nullptr ? *factor : L;
    w.G = w.C;
    F.transpose().triangularView<Eigen::Upper>().solveInPlace<Eigen::OnTheRight>(w.G);
    F.triangularView<Eigen::Lower>().solveInPlace<Eigen::OnTheRight>(w.G);
    return true;
  }
  if (factor != nullptr) {
    w.Pp.noalias() = *factor * factor->transpose();
    symmetrize_in_place(w.Pp);
  }
  DMatrix inv;
  if (general_inverse(w.Pp, inv) || pseudo_inverse(w.Pp, inv)) {
    w.G.noalias() = w.C * inv;
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

Status factor_of(const DMatrix& A, DMatrix& L, Index k) {
  Result<CholeskyFactor> f = stable_cholesky(A);
  if (!f) return with_step(f.take_error(), k);
  L = std::move(f.value().L);
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
  const double root_w = 1.0 / std::sqrt(static_cast<double>(2 * n));

  // The last smoothed state is the filtered posterior.  In square-root form
  // its factor is the guarded factor of the filtered covariance, and the
  // covariance returned is that factor's product.
  const Index last = steps - 1;
  batch::load_row(in.xs, last, w.x_s_next);
  wrap_angles(w.x_s_next, angles);
  batch::load_slice(in.ps, last, w.P_s_next);
  if (sr) {
    if (Status s = factor_of(w.P_s_next, w.S_s_next, last); !s) return s;
    w.P_s_next.noalias() = w.S_s_next * w.S_s_next.transpose();
    symmetrize_in_place(w.P_s_next);
    store_matrix(out.chol_ps + last * nn, w.S_s_next);
  }
  store_vector(out.xs + last * n, w.x_s_next);
  store_matrix(out.ps + last * nn, w.P_s_next);

  const bool q_full = in.qs.dims[0] == steps;
  const bool dt_full = in.dts.dims[0] == steps;
  DMatrix L, Y, Sq, S_s;
  const char* q_factored = nullptr;  // the Q entry whose factor Sq holds
  for (Index k = steps - 2; k >= 0; --k) {
    const Index qi = q_full ? k + 1 : k;
    const double dt = in.dts.at(dt_full ? k + 1 : k);
    batch::load_row(in.xs, k, w.x);
    batch::load_slice(in.ps, k, w.P);

    // 1. Cubature points of the filtered posterior k, from its guarded
    //    factor (the same factorisation and jitter the filter's prediction
    //    uses); in square-root form this factor stands for P from here on.
    if (Status s = factor_of(w.P, L, k); !s) return s;
    const DMatrix X = cubature_points_from_factor(w.x, L);

    // 2. One transition call with all 2n points.
    if (Status s = transition.propagate(k, X, dt, Y); !s) return s;
    if (Y.rows() != 2 * n || Y.cols() != n) internal_failure("images are 2n by n", __FILE__, __LINE__);
    unwrap_angle_columns(Y, angles);

    // 3. Predicted mean; deviations of the images about it and of the points
    //    about the mean that generated them; their cross-covariance.
    w.xp = row_mean(Y, n);
    for (Index c = 0; c < n; ++c) w.Yc.col(c) = Y.col(c).array() - w.xp.coeff(c);
    // The points deviate from x by +-sqrt(n) times the factor's columns, so
    // the cross-covariance (1/2n) sum (X_i - x)(Y_i - xp)^T pairs each plus
    // point with its minus twin: (sqrt(n) / 2n) L (Y_plus - Y_minus).
    w.B = Y.topRows(n) - Y.bottomRows(n);
    w.C.noalias() = L.triangularView<Eigen::Lower>() * w.B;
    w.C *= std::sqrt(static_cast<double>(n)) / static_cast<double>(2 * n);

    // 4. Predicted covariance (or its factor) and the gain G = C Pp^-1.
    batch::load_slice(in.qs, qi, w.Q);
    bool solved;
    if (sr) {
      // A broadcast Q is one memory slice for every step: factored once.
      const char* q_here = in.qs.data + qi * in.qs.strides[0];
      if (q_here != q_factored) {
        q_factored = nullptr;
        Result<CholeskyFactor> f = stable_cholesky(w.Q);
        if (!f) {
          Error e = f.take_error();
          e.message += " (smoother step " + std::to_string(k) + ", process noise Q)";
          return e;
        }
        Sq = std::move(f.value().L);
        q_factored = q_here;
      }
      // [w Yc; Sq^T]^T [w Yc; Sq^T] = Pyy + Q: the predicted factor from one QR.
      w.A_pred.topRows(2 * n) = root_w * w.Yc;
      w.A_pred.bottomRows(n) = Sq.transpose();
      Result<DMatrix> Sp = qr_to_lower_factor(w.A_pred, n);
      if (!Sp) return with_step(Sp.take_error(), k);
      solved = solve_gain(w, &Sp.value());
    } else {
      // Sample covariance of the images (only the lower triangle is
      // accumulated, then mirrored), plus Q, symmetrised: the filter's
      // prediction formula.
      w.Pp.setZero();
      w.Pp.selfadjointView<Eigen::Lower>().rankUpdate(w.Yc.transpose(), 1.0 / static_cast<double>(2 * n));
      w.Pp.triangularView<Eigen::StrictlyUpper>() = w.Pp.transpose();
      w.Pp += w.Q;
      symmetrize_in_place(w.Pp);
      solved = solve_gain(w, nullptr);
    }
    if (!solved) return with_step(Error::runtime("failed to invert innovation covariance"), k);

    // 5. Smoothed mean; angle differences are taken the short way round.
    w.d = w.x_s_next - w.xp;
    wrap_angles(w.d, angles);
    w.x_s.noalias() = w.G * w.d;
    w.x_s += w.x;
    wrap_angles(w.x_s, angles);

    // 6. Smoothed covariance.
    if (sr) {
      for (Index c = 0; c < n; ++c) w.Xc.col(c) = X.col(c).array() - w.x.coeff(c);
      // Residual points (Xc - Yc G^T) carry P - G Pp G^T once the noise and
      // the smoothed factor of k+1, both mapped by G, are stacked under them:
      // the stack's A^T A = P + G (P_s[k+1] - Pp) G^T, factored by one QR.
      w.A_smooth.topRows(2 * n).noalias() = w.Xc - w.Yc * w.G.transpose();
      w.A_smooth.topRows(2 * n) *= root_w;
      w.A_smooth.middleRows(2 * n, n).noalias() = Sq.transpose() * w.G.transpose();
      w.A_smooth.bottomRows(n).noalias() = w.S_s_next.transpose() * w.G.transpose();
      Result<DMatrix> Ss = qr_to_lower_factor(w.A_smooth, n);
      if (!Ss) return with_step(Ss.take_error(), k);
      S_s = std::move(Ss).value();
      w.P_s.setZero();
      w.P_s.triangularView<Eigen::Lower>() = S_s * S_s.transpose();
      w.P_s.triangularView<Eigen::StrictlyUpper>() = w.P_s.transpose();
    } else {
      // Only the lower triangle of the symmetric correction is formed; the
      // symmetrisation below mirrors it.
      w.D = w.P_s_next - w.Pp;
      w.B.noalias() = w.G * w.D;
      w.P_s = w.P;
      w.P_s.triangularView<Eigen::Lower>() += w.B * w.G.transpose();
      w.P_s.triangularView<Eigen::StrictlyUpper>() = w.P_s.transpose();
    }
    symmetrize_in_place(w.P_s);

    // A result that overflowed is a failure, never a returned value.
    if (!all_finite(w.x_s.data(), n) || !all_finite(w.P_s.data(), nn) || !all_finite(w.G.data(), nn)) {
      return with_step(Error::runtime("smoothed estimate is not finite"), k);
    }
    store_vector(out.xs + k * n, w.x_s);
    store_matrix(out.ps + k * nn, w.P_s);
    store_matrix(out.gains + k * nn, w.G);
    if (sr) {
      store_matrix(out.chol_ps + k * nn, S_s);
      w.S_s_next.swap(S_s);
    }
    w.x_s_next.swap(w.x_s);
    w.P_s_next.swap(w.P_s);
  }
  return Status::success();
}

}  // namespace vexel::smoother
