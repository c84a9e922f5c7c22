#include "cubature_smoother.hpp"

#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"

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

/// Working storage of the backward pass, sized once for the state dimension
/// so that no step allocates (only the transition's own images are new).
struct Workspace {
  Index n = 0;
  DVector x, xp, d, x_s, x_s_next, diag;
  DMatrix P, Q, L, X, Y, Xc, Yc, C, Pp, G, B, D, P_s, P_s_next, S_s_next, S_s, Sq, Sp, F, inv, A_pred, A_smooth;
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
    A_pred.resize(3 * n, n);
    A_smooth.resize(4 * n, n);
    factor_work.W.resize(n, n);
    factor_work.L.resize(n, n);
    factor_work.d.resize(n);
  }
};

/// Lower L with non-negative diagonal and L L^T = A^T A, from a Householder
/// QR of A done in place (A has n columns and at least n rows; it is
/// overwritten): L = R^T, each column flipped so that its diagonal is |R_ii|.
/// Written out for the small stacks of the backward pass: no scratch, one
/// reciprocal per column and four columns per pass over each reflector.
void lower_factor_qr(DMatrix& A, DVector& diag, DMatrix& L) {
  const Index m = A.rows();
  const Index n = A.cols();
  for (Index i = 0; i < n; ++i) {
    double* x = A.col(i).data();
    double s2 = 0.0;
    for (Index k = i; k < m; ++k) s2 += x[k] * x[k];
    const double r = std::sqrt(s2);
    const double x0 = x[i];
    // The new diagonal takes the sign opposite to the head, so v = x - alpha e
    // never cancels; ||v||^2 = 2 (s2 + |x0| r).
    const double alpha = x0 >= 0.0 ? -r : r;
    diag.coeffRef(i) = alpha;
    const double f = 2.0 * (s2 + std::fabs(x0) * r);
    if (f == 0.0) continue;  // nothing left to eliminate
    x[i] = x0 - alpha;
    const double beta = 2.0 / f;
    Index c = i + 1;
    for (; c + 3 < n; c += 4) {
      double* y0 = A.col(c).data();
      double* y1 = A.col(c + 1).data();
      double* y2 = A.col(c + 2).data();
      double* y3 = A.col(c + 3).data();
      double d0 = 0.0, d1 = 0.0, d2 = 0.0, d3 = 0.0;
      for (Index k = i; k < m; ++k) {
        const double xk = x[k];
        d0 += xk * y0[k];
        d1 += xk * y1[k];
        d2 += xk * y2[k];
        d3 += xk * y3[k];
      }
      d0 *= beta;
      d1 *= beta;
      d2 *= beta;
      d3 *= beta;
      for (Index k = i; k < m; ++k) {
        const double xk = x[k];
        y0[k] -= d0 * xk;
        y1[k] -= d1 * xk;
        y2[k] -= d2 * xk;
        y3[k] -= d3 * xk;
      }
    }
    for (; c < n; ++c) {
      double* y = A.col(c).data();
      double dot = 0.0;
      for (Index k = i; k < m; ++k) dot += x[k] * y[k];
      dot *= beta;
      for (Index k = i; k < m; ++k) y[k] -= dot * x[k];
    }
  }
  for (Index j = 0; j < n; ++j) {
    double* lj = L.col(j).data();
    const double a = diag.coeff(j);
    const double sign = a < 0.0 ? -1.0 : 1.0;
    for (Index i = 0; i < j; ++i) lj[i] = 0.0;
    lj[j] = std::fabs(a);
    for (Index i = j + 1; i < n; ++i) lj[i] = sign * A.coeff(j, i);
  }
}

/// G F F^T = C for G, F lower with a strictly positive diagonal: one sweep
/// forward (Z F^T = C) and one back (G F = Z), column by column, in place.
void solve_with_factor(const DMatrix& F, const DMatrix& C, DMatrix& G) {
  const Index n = F.rows();
  G = C;
  for (Index j = 0; j < n; ++j) {
    for (Index k = 0; k < j; ++k) G.col(j) -= F.coeff(j, k) * G.col(k);
    G.col(j) *= 1.0 / F.coeff(j, j);
  }
  for (Index j = n - 1; j >= 0; --j) {
    for (Index k = j + 1; k < n; ++k) G.col(j) -= F.coeff(k, j) * G.col(k);
    G.col(j) *= 1.0 / F.coeff(j, j);
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

/// G = C Pp^-1, tried in the order of the innovation inverse: a solve with
/// the Cholesky factor of Pp (`factor`, or the plain Cholesky of Pp when
/// `factor` is null), then the general inverse, then the pseudo-inverse.
/// In square-root form Pp is formed only here, only when the factor from the
/// QR is singular.
bool solve_gain(Workspace& w, const DMatrix* factor) {
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
    solve_with_factor(factor != nullptr ? *factor : w.F, w.C, w.G);
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
  for (Index k = steps - 2; k >= 0; --k) {
    const Index qi = q_full ? k + 1 : k;
    const double dt = in.dts.at(dt_full ? k + 1 : k);
    batch::load_row(in.xs, k, w.x);
    batch::load_slice(in.ps, k, w.P);

    // 1. Cubature points of the filtered posterior k, from its guarded
    //    factor (the same factorisation and jitter the filter's prediction
    //    uses); in square-root form this factor stands for P from here on.
    if (Status s = factor_of(w.P, w, w.L, k); !s) return s;
    cubature_points_from_factor(w.x, w.L, w.X);

    // 2. One transition call with all 2n points.
    if (Status s = transition.propagate(k, w.X, dt, w.Y); !s) return s;
    if (w.Y.rows() != 2 * n || w.Y.cols() != n) internal_failure("images are 2n by n", __FILE__, __LINE__);
    unwrap_angle_columns(w.Y, angles);

    // 3. Predicted mean; deviations of the images about it and of the points
    //    about the mean that generated them; their cross-covariance.
    row_mean(w.Y, n, w.xp);
    for (Index c = 0; c < n; ++c) w.Yc.col(c) = w.Y.col(c).array() - w.xp.coeff(c);
    // The points deviate from x by +-sqrt(n) times the factor's columns, so
    // the cross-covariance (1/2n) sum (X_i - x)(Y_i - xp)^T pairs each plus
    // point with its minus twin: (sqrt(n) / 2n) L (Y_plus - Y_minus).  The
    // factor's strict upper triangle is exactly zero, so the plain product
    // (coefficient-wise, no blocking overhead at these sizes) is the
    // triangular one.
    w.B = w.Y.topRows(n) - w.Y.bottomRows(n);
    w.C.noalias() = cross_scale * w.L.lazyProduct(w.B);

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
      // [w Yc; Sq^T]^T [w Yc; Sq^T] = Pyy + Q: the predicted factor from one QR.
      w.A_pred.topRows(2 * n) = root_w * w.Yc;
      w.A_pred.bottomRows(n) = w.Sq.transpose();
      lower_factor_qr(w.A_pred, w.diag, w.Sp);
      solved = solve_gain(w, &w.Sp);
    } else {
      // Sample covariance of the images (only the lower triangle is
      // formed, then mirrored), plus Q, symmetrised: the filter's
      // prediction formula.
      batch::load_slice(in.qs, qi, w.Q);
      w.Pp.triangularView<Eigen::Lower>() = inv_2n * w.Yc.transpose().lazyProduct(w.Yc);
      w.Pp.triangularView<Eigen::StrictlyUpper>() = w.Pp.transpose();
      w.Pp += w.Q;
      symmetrize_in_place(w.Pp);
      solved = solve_gain(w, nullptr);
    }
    if (!solved) return with_step(Error::runtime("failed to invert innovation covariance"), k);

    // 5. Smoothed mean; angle differences are taken the short way round.
    w.d = w.x_s_next - w.xp;
    wrap_angles(w.d, angles);
    w.x_s.noalias() = w.G.lazyProduct(w.d);
    w.x_s += w.x;
    wrap_angles(w.x_s, angles);

    // 6. Smoothed covariance.
    if (sr) {
      for (Index c = 0; c < n; ++c) w.Xc.col(c) = w.X.col(c).array() - w.x.coeff(c);
      // Residual points (Xc - Yc G^T) carry P - G Pp G^T once the noise and
      // the smoothed factor of k+1, both mapped by G, are stacked under them:
      // the stack's A^T A = P + G (P_s[k+1] - Pp) G^T, factored by one QR.
      w.A_smooth.topRows(2 * n).noalias() = root_w * (w.Xc - w.Yc.lazyProduct(w.G.transpose()));
      w.A_smooth.middleRows(2 * n, n).noalias() = w.Sq.transpose().lazyProduct(w.G.transpose());
      w.A_smooth.bottomRows(n).noalias() = w.S_s_next.transpose().lazyProduct(w.G.transpose());
      lower_factor_qr(w.A_smooth, w.diag, w.S_s);
      w.P_s.triangularView<Eigen::Lower>() = w.S_s.lazyProduct(w.S_s.transpose());
      w.P_s.triangularView<Eigen::StrictlyUpper>() = w.P_s.transpose();
    } else {
      // Only the lower triangle of the symmetric correction is formed; the
      // symmetrisation below mirrors it.
      w.D = w.P_s_next - w.Pp;
      w.B.noalias() = w.G.lazyProduct(w.D);
      w.P_s = w.P;
      w.P_s.triangularView<Eigen::Lower>() += w.B.lazyProduct(w.G.transpose());
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
      store_matrix(out.chol_ps + k * nn, w.S_s);
      w.S_s_next.swap(w.S_s);
    }
    w.x_s_next.swap(w.x_s);
    w.P_s_next.swap(w.P_s);
  }
  return Status::success();
}

}  // namespace vexel::smoother
