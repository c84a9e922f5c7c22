// The fixed-lag cubature smoother: the estimate of step k-L given the
// measurements up to step k, while a filter runs, from a window of the last
// L+1 filtered steps.
//
// The estimate is, bit for bit, what the full backward pass
// (cubature_smoother.hpp) gives for step k-L over the trace up to k.  That
// pass's first half of a step j (points of the filtered posterior j, their
// transition j -> j+1, the predicted moments and the gain) does not depend on
// k, so the window does it once per step, when step j+1 arrives, and keeps it;
// every new step then runs only the L second halves back from its own
// filtered state.  Memory is L+1 steps' worth, never the history.  Nothing
// here includes Python.h.
#pragma once

#include "cubature_smoother.hpp"

#include <cstddef>
#include <vector>

namespace vexel::smoother {

class FixedLagWindow {
 public:
  /// A window for n states, lag L >= 0, the covariance or the square-root
  /// form and the angle states (sorted, distinct, below n).
  FixedLagWindow(Index n, Index lag, bool square_root, std::vector<Index> angle_states);

  Index dim() const { return n_; }
  Index lag() const { return lag_; }
  bool square_root() const { return square_root_; }
  /// Filtered steps pushed so far.
  Index steps() const { return steps_; }
  /// Whether the next push takes the images of `points()`: there is an
  /// earlier step and a lag of at least one.
  bool needs_transition() const { return steps_ > 0 && lag_ > 0; }

  /// The cubature points of the newest filtered step (2n rows of n), which
  /// the caller carries through the transition to the next step before
  /// pushing it.  Only when `needs_transition()`.
  Status draw();
  const DMatrix& points() const { return points_; }

  /// Adds the filtered step k = steps(): x (n) and P (n by n, C order) as the
  /// filter recorded them, q (n by n, C order) the process noise of the
  /// transition k-1 -> k and `images` that transition of `points()`
  /// (finite; ignored when `needs_transition()` was false).  Forms the
  /// first half of step k-1.  Fails as the backward pass does, naming the
  /// step; the window is then unchanged, except that the step's factor may
  /// have been drawn.
  Status push(const double* x, const double* P, const double* q, const DMatrix& images);

  /// `push` with the newest step's points drawn elsewhere: `factor` is the
  /// guarded factor of its covariance (stable_cholesky, as `draw` takes it)
  /// and `images` the transition of the points drawn from it, as a
  /// covariance filter's own prediction draws them.  Saves the transition
  /// where the filter has just made it.
  Status push_drawn(const DMatrix& factor, const DMatrix& images, const double* x, const double* P, const double* q);

  /// `draw`, the transition of the points over the time step dt (reported
  /// as the smoother step k-1), and `push`: the whole of adding step k.
  Status push_through(PointTransition& transition, double dt, const double* x, const double* P, const double* q);

  /// The smoothed estimates of the steps newest - back .. newest given all
  /// steps pushed (back <= min(lag, steps() - 1)).  With `every`, row r of
  /// xs (n wide) and Ps (n by n, C order) is step newest - back + r;
  /// otherwise row 0 holds step newest - back only.
  Status smooth(Index back, double* xs, double* Ps, bool every);

  /// Bytes held by the window's buffers (its growth is bounded by the lag).
  std::size_t bytes() const;

 private:
  /// One filtered step and, once the next step has arrived, the first half of
  /// its backward step.  Its buffers trade places with the workspace's.
  struct Slot {
    DVector x, xp;
    DMatrix P, L, Pp, G;
    DMatrix A;   // square-root form: the head of the smoothing stack
    DMatrix Sq;  // square-root form, merging stacks: the noise factor
    bool factored = false;  // L holds the guarded factor of P
    bool gain_finite = false;
  };
  Slot& slot(Index k) { return slots_[static_cast<std::size_t>(k % (lag_ + 1))]; }
  void exchange(Slot& s);
  /// The first half of the newest step's backward step, from its factor
  /// and the images of its points.
  Status prepare(const DMatrix& factor, const DMatrix& images, const double* q);
  /// Adds the filtered step steps().
  void store(const double* x, const double* P);

  Index n_;
  Index lag_;
  bool square_root_;
  std::vector<Index> angles_;
  Workspace w_;
  DenseOps ops_;
  Index steps_ = 0;
  /// At most lag + 1 slots, added as steps arrive (a lag longer than the
  /// stream costs only the stream).
  std::vector<Slot> slots_;
  DMatrix points_;
  DMatrix images_;
  /// The process noise in w_.Q (and, square-root form, factored in w_.Sq),
  /// in C order, compared bit for bit so that one Q is read once.
  DMatrix q_held_;
  bool have_q_ = false;
};

}  // namespace vexel::smoother
