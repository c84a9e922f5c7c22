#include "cubature_smoother.hpp"

#include "../angles/angles.hpp"
#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"
#include "step_products.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>


namespace vexel::smoother {

namespace {

std::string at_step(Index k) { return " (smoother step " + std::to_string(k) + ")"; }

Error with_step(Error e, Index k) {
  e.message += at_step(k);
  return e;
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

Status factor_of(const DMatrix& A, Workspace& w, DMatrix& L, Index k) {
  double jitter = 0.0;
  if (!stable_cholesky(A, w.factor_work, L, jitter)) {
    return with_step(Error::runtime("unable to compute stable Cholesky factor"), k);
  }
  return Status::success();
}

}  // namespace

BackwardPass::BackwardPass(const CubatureSmootherInputs& in, const CubatureSmootherOutputs& out)
    : in_(in),
      out_(out),
      n_(in.xs.dims[1]),
      w_(n_),
      ops_(dense_ops_for(n_)),
      hi_(in.xs.dims[0] - 2) {
  // A call takes at most kCallDoubles of points.  Beyond that the
  // callback's per-call cost is long amortised, while the steps after the
  // call read their points and images back from the block, which should
  // still sit in a near cache (larger blocks, and the callback's arrays of
  // the same size, would also be fresh memory to fault in at every call).
  // Small states take the larger blocks: there a Python call costs as much
  // as tens of steps' arithmetic; from 7 states on the arithmetic dominates
  // and the smaller blocks' locality pays more.
  const Index steps = in.xs.dims[0];
  const Index kCallDoubles = n_ <= 6 ? Index{1} << 14 : Index{1} << 12;
  per_call_ = std::max<Index>(1, std::min({in.steps_per_call, steps - 1, kCallDoubles / (2 * n_ * n_)}));
  points_.resize(2 * n_ * per_call_, n_);
  factors_.resize(n_, n_ * per_call_);
}

double BackwardPass::dt_of(Index k) const { return in_.dts.at(in_.dts.dims[0] == in_.xs.dims[0] ? k + 1 : k); }

Status last_smoothed_state(Workspace& w, const std::vector<Index>& angles, bool square_root, Index k,
                           bool want_covariance) {
  // The last smoothed state is the filtered posterior.  In square-root form
  // its factor is the guarded factor of the filtered covariance, and the
  // covariance returned is that factor's product.
  angles::wrap_entries(w.x_s_next, angles);
  if (square_root) {
    if (Status s = factor_of(w.P_s_next, w, w.S_s_next, k); !s) return s;
    if (want_covariance) {
      w.P_s_next.noalias() = w.S_s_next.lazyProduct(w.S_s_next.transpose());
      symmetrize_in_place(w.P_s_next);
    }
  }
  return Status::success();
}

Status filtered_factor(Workspace& w, Index k) { return factor_of(w.P, w, w.L, k); }

Status noise_factor(Workspace& w, Index k) {
  double jitter = 0.0;
  if (!stable_cholesky(w.Q, w.factor_work, w.Sq, jitter)) {
    return Error::runtime("unable to compute stable Cholesky factor (smoother step " + std::to_string(k) +
                          ", process noise Q)");
  }
  return Status::success();
}

Status predict_and_gain(Workspace& w, const DenseOps& ops, const std::vector<Index>& angles, bool square_root,
                        Index k) {
  const Index n = w.n;
  angles::unwrap_columns_around_mean(w.Y, angles);
  // 3. Predicted mean; deviations of the images about it and of the points
  //    about the mean that generated them; their cross-covariance.
  row_mean(w.Y, n, w.xp);
  // The points deviate from x by +-sqrt(n) times the factor's columns, so
  // the cross-covariance (1/2n) sum (X_i - x)(Y_i - xp)^T pairs each plus
  // point with its minus twin: (sqrt(n) / 2n) L (Y_plus - Y_minus).  The
  // factor's strict upper triangle is exactly zero, so the plain product
  // (coefficient-wise, no blocking overhead at these sizes) is the
  // triangular one.
  ops.cross(w, std::sqrt(static_cast<double>(n)) / static_cast<double>(2 * n));
  // 4. Predicted covariance (or its factor) and the gain G = C Pp^-1.
  bool solved;
  if (square_root) {
    // [Sq^T; w Yc]^T [Sq^T; w Yc] = Q + Pyy: the predicted factor from one QR.
    // Sq^T on top is upper triangular, which the QR exploits.
    const double root_w = 1.0 / std::sqrt(static_cast<double>(2 * n));
    w.A_pred.topRows(n) = w.Sq.transpose();
    w.A_pred.middleRows(n, 2 * n) = root_w * w.Yc;
    w.A_pred.bottomRows(w.A_pred.rows() - 3 * n).setZero();
    ops.predicted_factor_qr(w.A_pred, w.reflector.data(), w.diag, w.Sp);
    solved = solve_gain(w, ops, &w.Sp);
  } else {
    // Sample covariance of the images (only the lower triangle is
    // formed, then mirrored), plus Q, symmetrised: the filter's
    // prediction formula.
    ops.predicted_covariance(w, 1.0 / static_cast<double>(2 * n));
    symmetrize_in_place(w.Pp);
    solved = solve_gain(w, ops, nullptr);
  }
  if (!solved) return with_step(Error::runtime("failed to invert innovation covariance"), k);
  return Status::success();
}

void form_smoothing_head(Workspace& w, const DenseOps& ops) {
  ops.smoothing_head(w, 1.0 / std::sqrt(static_cast<double>(2 * w.n)));
}

namespace {

/// Whether w.S_s w.S_s^T, symmetrised, is finite, forming it (in w.P_s) only
/// where its entries could overflow: below the bound every entry is at most
/// a quarter of the largest double.
bool factor_product_finite(Workspace& w, const DenseOps& ops) {
  const Index n = w.n;
  const double bound = std::sqrt(std::numeric_limits<double>::max() / (4.0 * static_cast<double>(n)));
  const double* s = w.S_s.data();
  for (Index i = 0; i < n * n; ++i) {
    if (!(std::abs(s[i]) <= bound)) {
      ops.factor_product(w);
      symmetrize_in_place(w.P_s);
      return all_finite(w.P_s.data(), n * n);
    }
  }
  return true;
}

}  // namespace

Status combine_step(Workspace& w, const DenseOps& ops, const std::vector<Index>& angles, bool square_root,
                    bool gain_finite, Index k, const DMatrix* head, bool want_covariance) {
  const Index n = w.n;
  // 5. Smoothed mean; angle differences are taken the short way round.
  const bool mean_finite = ops.mean_correction(w, angles);

  // 6. Smoothed covariance.
  bool covariance_finite;
  if (square_root) {
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
    if (head != nullptr) {
      w.A_smooth = *head;
    } else {
      form_smoothing_head(w, ops);
    }
    ops.smoothing_tail(w);
    w.A_smooth.bottomRows(w.A_smooth.rows() - (merges(n) ? 3 : 4) * n).setZero();
    ops.smoothed_factor_qr(w.A_smooth, w.reflector.data(), w.diag, w.S_s);
    if (want_covariance) {
      ops.factor_product(w);
      symmetrize_in_place(w.P_s);
      covariance_finite = all_finite(w.P_s.data(), n * n);
    } else {
      covariance_finite = factor_product_finite(w, ops);
    }
  } else {
    // Formed as its lower triangle and that triangle's mirror: exactly
    // symmetric already.
    covariance_finite = ops.covariance_correction(w);
  }

  // A result that overflowed is a failure, never a returned value.
  if (!gain_finite || !mean_finite || !covariance_finite) {
    return with_step(Error::runtime("smoothed estimate is not finite"), k);
  }
  return Status::success();
}

Status combine_buffers(const DenseOps& ops, const CombineBuffers& c, double* scratch, bool gain_finite, Index k) {
  if (!ops.combine_covariance(c, scratch) || !gain_finite) {
    return with_step(Error::runtime("smoothed estimate is not finite"), k);
  }
  return Status::success();
}

void advance_step(Workspace& w, bool square_root) {
  if (square_root) w.S_s_next.swap(w.S_s);
  w.x_s_next.swap(w.x_s);
  w.P_s_next.swap(w.P_s);
}

Status BackwardPass::begin() {
  Workspace& w = w_;
  const Index last = in_.xs.dims[0] - 1;
  const Index nn = n_ * n_;
  batch::load_row(in_.xs, last, w.x_s_next);
  batch::load_slice(in_.ps, last, w.P_s_next);
  if (Status s = last_smoothed_state(w, in_.angle_states, in_.square_root, last); !s) return s;
  if (in_.square_root && out_.chol_ps != nullptr) store_matrix(out_.chol_ps + last * nn, w.S_s_next);
  store_vector(out_.xs + last * n_, w.x_s_next);
  store_matrix(out_.ps + last * nn, w.P_s_next);
  return Status::success();
}

Status BackwardPass::draw() {
  // The steps hi, hi-1, ..., lo share one call: as many as allowed, all
  // with hi's time step (compared bit for bit).
  const Index n = n_;
  const double dt = dt_of(hi_);
  Index lo = hi_;
  while (lo > 0 && hi_ - lo + 1 < per_call_) {
    const double before = dt_of(lo - 1);
    if (std::memcmp(&before, &dt, sizeof dt) != 0) break;
    --lo;
  }
  lo_ = lo;
  dt_ = dt;
  const Index count = hi_ - lo + 1;
  if (points_.rows() != 2 * n * count) {
    points_.resize(2 * n * count, n);
    factors_.resize(n, n * count);
  }
  // Cubature points of each filtered posterior, from its guarded factor
  // (the same factorisation and jitter the filter's prediction uses); in
  // square-root form this factor stands for P from here on.  Steps are
  // taken from the last, in the pass's own order.
  Workspace& w = w_;
  for (Index k = hi_; k >= lo; --k) {
    batch::load_row(in_.xs, k, w.x);
    batch::load_slice(in_.ps, k, w.P);
    if (Status s = filtered_factor(w, k); !s) return s;
    cubature_points_from_factor(w.x, w.L, points_.data() + 2 * n * (k - lo), 1, points_.rows());
    factors_.middleCols(n * (k - lo), n) = w.L;
  }
  return Status::success();
}

Status BackwardPass::finish(const DMatrix& images) {
  const Index n = n_;
  const Index nn = n * n;
  const bool sr = in_.square_root;
  const std::vector<Index>& angles = in_.angle_states;
  const Index lo = lo_;
  if (images.rows() != 2 * n * (hi_ - lo + 1) || images.cols() != n) {
    internal_failure("images are 2n by n per step", __FILE__, __LINE__);
  }
  Workspace& w = w_;
  const DenseOps& ops = ops_;
  const bool q_full = in_.qs.dims[0] == in_.xs.dims[0];
  for (Index k = hi_; k >= lo; --k) {
    const Index qi = q_full ? k + 1 : k;
    batch::load_row(in_.xs, k, w.x);
    // Only the covariance form's correction reads P again.
    if (!sr) batch::load_slice(in_.ps, k, w.P);
    // The points themselves are needed only by the square-root form's
    // residuals; the covariance form works from the factor.
    if (sr) w.X = points_.middleRows(2 * n * (k - lo), 2 * n);
    w.L = factors_.middleCols(n * (k - lo), n);
    w.Y = images.middleRows(2 * n * (k - lo), 2 * n);
    if (sr) {
      // A broadcast Q is one memory slice for every step: factored once.
      const char* q_here = in_.qs.data + qi * in_.qs.strides[0];
      if (q_here != q_factored_) {
        q_factored_ = nullptr;
        batch::load_slice(in_.qs, qi, w.Q);
        if (Status s = noise_factor(w, k); !s) return s;
        q_factored_ = q_here;
      }
    } else {
      batch::load_slice(in_.qs, qi, w.Q);
    }
    if (Status s = predict_and_gain(w, ops, angles, sr, k); !s) return s;
    if (Status s = combine_step(w, ops, angles, sr, all_finite(w.G.data(), nn), k); !s) return s;
    store_vector(out_.xs + k * n, w.x_s);
    // Exactly symmetric, so its column-major storage is its C order.
    std::memcpy(out_.ps + k * nn, w.P_s.data(), sizeof(double) * static_cast<std::size_t>(nn));
    if (out_.gains != nullptr) store_matrix(out_.gains + k * nn, w.G);
    if (sr && out_.chol_ps != nullptr) store_matrix(out_.chol_ps + k * nn, w.S_s);
    advance_step(w, sr);
  }
  hi_ = lo - 1;
  return Status::success();
}

Status run_cubature_smoother(const CubatureSmootherInputs& in, PointTransition& transition,
                             const CubatureSmootherOutputs& out) {
  BackwardPass pass(in, out);
  if (Status s = pass.begin(); !s) return s;
  DMatrix images;
  while (pass.next_step() >= 0) {
    if (Status s = pass.draw(); !s) return s;
    if (Status s = transition.propagate(pass.first_step(), pass.step_count(), pass.points(), pass.dt(), images); !s) {
      return s;
    }
    if (Status s = pass.finish(images); !s) return s;
  }
  return Status::success();
}

}  // namespace vexel::smoother
