#include "fixed_lag.hpp"

#include "../kernels/cubature.hpp"

#include <cstring>
#include <utility>

namespace vexel::smoother {

namespace {

/// m(i, j) = c[i n + j]: a matrix given in C order.
void load_c_order(const double* c, DMatrix& m) {
  const Index r = m.rows();
  const Index k = m.cols();
  for (Index i = 0; i < r; ++i)
    for (Index j = 0; j < k; ++j) m.coeffRef(i, j) = c[i * k + j];
}

void store_c_order(const DMatrix& m, double* c) {
  const Index r = m.rows();
  const Index k = m.cols();
  for (Index i = 0; i < r; ++i)
    for (Index j = 0; j < k; ++j) c[i * k + j] = m.coeff(i, j);
}

}  // namespace

FixedLagWindow::FixedLagWindow(Index n, Index lag, bool square_root, std::vector<Index> angle_states)
    : n_(n),
      lag_(lag),
      square_root_(square_root),
      angles_(std::move(angle_states)),
      w_(n),
      ops_(dense_ops_for(n)) {
  points_.resize(2 * n, n);
  q_held_.resize(n, n);
}

void FixedLagWindow::exchange(Slot& s) {
  Workspace& w = w_;
  w.x.swap(s.x);
  w.xp.swap(s.xp);
  w.G.swap(s.G);
  if (square_root_) {
    // The smoothing head stands for X and Yc; only a merging stack reads Sq.
    if (merges(n_)) w.Sq.swap(s.Sq);
  } else {
    w.P.swap(s.P);
    w.Pp.swap(s.Pp);
  }
}

Status FixedLagWindow::draw() {
  if (!needs_transition()) internal_failure("a window draws only for a transition", __FILE__, __LINE__);
  const Index k = steps_ - 1;
  Slot& s = slot(k);
  if (!s.factored) {
    w_.P = s.P;
    if (Status st = filtered_factor(w_, k); !st) return st;
    s.L = w_.L;
    s.factored = true;
  }
  // As the backward pass draws them, into the same layout.
  cubature_points_from_factor(s.x, s.L, points_.data(), 1, points_.rows());
  return Status::success();
}

Status FixedLagWindow::prepare(const DMatrix& factor, const DMatrix& images, const double* q) {
  // The first half of step k = steps_ - 1, with the inputs the backward
  // pass gives it (it reads neither x nor P there).
  const Index n = n_;
  const Index k = steps_ - 1;
  Workspace& w = w_;
  if (images.rows() != 2 * n || images.cols() != n || factor.rows() != n || factor.cols() != n) {
    internal_failure("a window's images are 2n by n and its factor n by n", __FILE__, __LINE__);
  }
  w.L = factor;
  w.Y = images;
  // One Q for every step (the usual case) is read, and in square-root form
  // factored, once.
  const auto q_bytes = sizeof(double) * static_cast<std::size_t>(n * n);
  if (!have_q_ || std::memcmp(q, q_held_.data(), q_bytes) != 0) {
    have_q_ = false;
    load_c_order(q, w.Q);
    if (square_root_) {
      if (Status s = noise_factor(w, k); !s) return s;
    }
    std::memcpy(q_held_.data(), q, q_bytes);
    have_q_ = true;
  }
  if (Status s = predict_and_gain(w, ops_, angles_, square_root_, k); !s) return s;
  Slot& p = slot(k);
  if (square_root_) {
    // The head of the smoothing stack depends on this step alone: formed
    // once here rather than at every combine (the same arithmetic).
    w.X = points_;
    w.x = p.x;
    form_smoothing_head(w, ops_);
    p.A.swap(w.A_smooth);
    if (merges(n)) p.Sq = w.Sq;
  } else {
    p.Pp.swap(w.Pp);
  }
  p.gain_finite = all_finite(w.G.data(), n * n);
  p.xp.swap(w.xp);
  p.G.swap(w.G);
  return Status::success();
}

Status FixedLagWindow::push(const double* x, const double* P, const double* q, const DMatrix& images) {
  if (needs_transition()) {
    const Slot& p = slot(steps_ - 1);
    if (!p.factored) internal_failure("a window's points are drawn before the push", __FILE__, __LINE__);
    if (Status s = prepare(p.L, images, q); !s) return s;
  }
  store(x, P);
  return Status::success();
}

Status FixedLagWindow::push_drawn(const DMatrix& factor, const DMatrix& images, const double* x, const double* P,
                                  const double* q) {
  if (needs_transition()) {
    if (Status s = prepare(factor, images, q); !s) return s;
  }
  store(x, P);
  return Status::success();
}

void FixedLagWindow::store(const double* x, const double* P) {
  const Index n = n_;
  const Index k = steps_;
  if (static_cast<Index>(slots_.size()) <= k % (lag_ + 1)) {
    // Every buffer at its size from the start: the workspace trades its own
    // for them.
    Slot s;
    s.x.resize(n);
    s.xp.resize(n);
    for (DMatrix* m : {&s.P, &s.L, &s.G}) m->resize(n, n);
    if (square_root_) {
      s.A.resize(w_.A_smooth.rows(), n);
      if (merges(n)) s.Sq.resize(n, n);
    } else {
      s.Pp.resize(n, n);
    }
    slots_.push_back(std::move(s));
  }
  Slot& s = slot(k);
  for (Index i = 0; i < n; ++i) s.x.coeffRef(i) = x[i];
  load_c_order(P, s.P);
  s.factored = false;
  ++steps_;
}

Status FixedLagWindow::push_through(PointTransition& transition, double dt, const double* x, const double* P,
                                    const double* q) {
  if (needs_transition()) {
    if (Status s = draw(); !s) return s;
    if (Status s = transition.propagate(steps_ - 1, 1, points_, dt, images_); !s) return s;
  }
  return push(x, P, q, images_);
}

Status FixedLagWindow::smooth(Index back, double* xs, double* Ps, bool every) {
  const Index n = n_;
  const Index nn = n * n;
  const Index newest = steps_ - 1;
  if (back < 0 || back > lag_ || back > newest) {
    internal_failure("a window smooths within its steps", __FILE__, __LINE__);
  }
  Workspace& w = w_;
  Slot& last = slot(newest);
  // The smoothed covariances are exactly symmetric: column-major storage
  // is their C order.
  auto put_from = [&](Index row, const double* x, const double* P) {
    std::memcpy(xs + row * n, x, sizeof(double) * static_cast<std::size_t>(n));
    std::memcpy(Ps + row * nn, P, sizeof(double) * static_cast<std::size_t>(nn));
  };
  // The slots from the newest back, walked without a division per step.
  std::size_t at = static_cast<std::size_t>(newest % (lag_ + 1));
  if (!square_root_ && angles_.empty() && ops_.combine_covariance != nullptr && back > 0) {
    // Without angles the last smoothed state is the filtered one as it
    // stands: the first combine reads it in its slot.  Each slot is
    // combined where it lies; the smoothed states alternate between two
    // buffers of the workspace.
    const double* x_next = last.x.data();
    const double* P_next = last.P.data();
    if (every) {
      std::memcpy(xs + back * n, x_next, sizeof(double) * static_cast<std::size_t>(n));
      store_c_order(last.P, Ps + back * nn);
    }
    double* x_out[2] = {w.x_s.data(), w.x_s_next.data()};
    double* P_out[2] = {w.P_s.data(), w.P_s_next.data()};
    int o = 0;
    for (Index j = newest - 1; j >= newest - back; --j) {
      at = at == 0 ? static_cast<std::size_t>(lag_) : at - 1;
      const Slot& s = slots_[at];
      const CombineBuffers c{s.x.data(), s.xp.data(), s.G.data(), s.P.data(), s.Pp.data(),
                             x_next,     P_next,      x_out[o],   P_out[o]};
      if (Status st = combine_buffers(ops_, c, w.B.data(), s.gain_finite, j); !st) return st;
      x_next = x_out[o];
      P_next = P_out[o];
      o ^= 1;
      if (every) put_from(j - (newest - back), x_next, P_next);
    }
    if (!every) put_from(0, x_next, P_next);
    return Status::success();
  }
  w.x_s_next = last.x;
  w.P_s_next = last.P;
  // In square-root form the steps before read the last state's factor only.
  if (Status s = last_smoothed_state(w, angles_, square_root_, newest, every || back == 0); !s) return s;
  if (square_root_ && !last.factored) {
    // The same factorisation the next step's points are drawn from.
    last.L = w.S_s_next;
    last.factored = true;
  }
  auto put = [&](Index row) {
    std::memcpy(xs + row * n, w.x_s_next.data(), sizeof(double) * static_cast<std::size_t>(n));
    store_c_order(w.P_s_next, Ps + row * nn);
  };
  if (every) put(back);
  for (Index j = newest - 1; j >= newest - back; --j) {
    at = at == 0 ? static_cast<std::size_t>(lag_) : at - 1;
    Slot& s = slots_[at];
    exchange(s);
    // Only the covariances returned are formed (square-root form).
    const bool wanted = every || j == newest - back;
    Status st = combine_step(w, ops_, angles_, square_root_, s.gain_finite, j, square_root_ ? &s.A : nullptr, wanted);
    exchange(s);
    if (!st) return st;
    advance_step(w, square_root_);
    if (every) put(j - (newest - back));
  }
  if (!every) put(0);
  return Status::success();
}

std::size_t FixedLagWindow::bytes() const {
  std::size_t doubles = static_cast<std::size_t>(points_.size() + images_.size() + q_held_.size());
  for (const Slot& s : slots_) {
    for (const DVector* v : {&s.x, &s.xp}) doubles += static_cast<std::size_t>(v->size());
    for (const DMatrix* m : {&s.P, &s.L, &s.Pp, &s.G, &s.A, &s.Sq}) doubles += static_cast<std::size_t>(m->size());
  }
  return doubles * sizeof(double);
}

}  // namespace vexel::smoother
