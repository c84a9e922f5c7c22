// The cubature Rauch-Tung-Striebel smoother: one backward pass over a filtered
// trace of a nonlinear model, in covariance or square-root form.
//
// Each step k (from N-2 down to 0) redraws the cubature points of the
// filtered posterior k, sends them through the transition k -> k+1 (a
// `PointTransition` supplied by the caller: the module layer runs the user's
// fx there), and corrects the filtered estimate with the already smoothed
// step k+1.  Nothing here includes Python.h.
#pragma once

#include "../batch/strided.hpp"
#include "../kernels/linalg.hpp"
#include "../kernels/result.hpp"
#include "step_products.hpp"

#include <vector>

namespace vexel::smoother {

/// The transition of the model, applied to whole point sets at once.
class PointTransition {
 public:
  virtual ~PointTransition() = default;
  /// images = the transitions k -> k+1 (time step dt) of the point sets of
  /// `steps` consecutive steps from `first_step` on, stacked step by step
  /// (step first_step + s in rows 2n*s to 2n*(s+1)-1, n columns); images
  /// becomes the same shape and finite.  A failure is returned as an error
  /// value that already names the step.
  virtual Status propagate(Index first_step, Index steps, const DMatrix& points, double dt, DMatrix& images) = 0;
};

struct CubatureSmootherInputs {
  batch::StridedArray xs;  // (N, n) filtered means, finite
  batch::StridedArray ps;  // (N, n, n) filtered covariances, finite
  batch::StridedArray qs;  // (N or N-1, n, n) process noise, the entries read finite
  batch::StridedArray dts; // (N or N-1,) time steps, the entries read finite
  /// Indices of the states that are angles (sorted, distinct, below n).
  std::vector<Index> angle_states;
  bool square_root = false;
  /// Most steps whose point sets go through one transition call.  The
  /// points of a step depend on the filtered trace only, never on the
  /// smoothed steps after it, so consecutive steps with the same time step
  /// can be propagated together; 1 calls the transition once per step.
  Index steps_per_call = 1;
};

/// The outputs may be the inputs' own storage (xs and ps of C order): each
/// step reads its filtered row before it writes the smoothed one, and later
/// steps read earlier rows only, so a panel smooths a filtered trace in
/// place.
struct CubatureSmootherOutputs {
  double* xs;       // (N, n), C order
  double* ps;       // (N, n, n), C order
  double* gains;    // (N, n, n), C order, or nullptr: not wanted; entry N-1 is left as the caller filled it (zero)
  double* chol_ps;  // (N, n, n), C order, square-root form only; nullptr: not wanted (or covariance form)
};

// One backward step k in two halves, on the workspace, shared by the full
// pass and the fixed-lag window (fixed_lag.hpp) so that both do the same
// arithmetic in the same order.  The first half (the prediction of step
// k+1 and the gain) depends on the filtered posterior k and the transition
// k -> k+1 alone; the second combines it with the smoothed step k+1.

/// The smoothed state of the last step of a trace from its filtered
/// posterior, in place: w.x_s_next wrapped; in square-root form w.S_s_next =
/// the guarded factor of w.P_s_next and w.P_s_next = its product (left
/// unformed without `want_covariance`: the steps before read the factor
/// only).  Fails with "unable to compute stable Cholesky factor" naming
/// step k.
Status last_smoothed_state(Workspace& w, const std::vector<Index>& angles, bool square_root, Index k,
                           bool want_covariance = true);

/// w.L = the guarded factor of the filtered covariance w.P (the filter's own
/// factorisation), from which step k's points are drawn.
Status filtered_factor(Workspace& w, Index k);

/// w.Sq = the guarded factor of w.Q, for the square-root form.
Status noise_factor(Workspace& w, Index k);

/// The first half of step k: from w.x, w.L, the images w.Y of the points
/// (angle columns unwrapped here), w.Q (covariance form) or w.Sq (square
/// root), w.Yc, w.xp, w.C, w.Pp or w.Sp, and the gain w.G.  Fails with
/// "failed to invert innovation covariance" naming step k.
Status predict_and_gain(Workspace& w, const DenseOps& ops, const std::vector<Index>& angles, bool square_root,
                        Index k);

/// The head of step k's smoothing stack (square-root form), in w.A_smooth:
/// the part of the second half that does not depend on step k+1, from the
/// first half's results with w.x and w.X.
void form_smoothing_head(Workspace& w, const DenseOps& ops);

/// The second half of step k: the smoothed w.x_s and w.P_s (square root:
/// also w.S_s) from the smoothed step k+1 (w.x_s_next, w.P_s_next,
/// w.S_s_next) and the first half's results with w.x, w.P (covariance form)
/// and w.X (square root; or, given `head`, that step's smoothing head as
/// `form_smoothing_head` left w.A_smooth).  Without `want_covariance` the
/// square-root form leaves w.P_s unformed (the steps before read S_s only),
/// and fails exactly when forming it would have given a value that is not
/// finite.  Fails with "smoothed estimate is not finite" naming step k,
/// also for a gain that is not (`gain_finite` false: the first half's gain
/// is tested once however often it is combined).
Status combine_step(Workspace& w, const DenseOps& ops, const std::vector<Index>& angles, bool square_root,
                    bool gain_finite, Index k, const DMatrix* head = nullptr, bool want_covariance = true);

/// `combine_step` of the covariance form for states without angles, on
/// buffers held elsewhere, where `ops.combine_covariance` exists: the same
/// results and the same failure.
Status combine_buffers(const DenseOps& ops, const CombineBuffers& c, double* scratch, bool gain_finite, Index k);

/// Step k's smoothed state becomes the "next" one of step k-1.
void advance_step(Workspace& w, bool square_root);

/// The backward pass, a group of steps at a time: `begin` (the last step),
/// then, while `next_step()` >= 0, `draw` (the points of the group's steps,
/// `points()`), the transition of those points by the caller, and `finish`
/// with their images.  run_cubature_smoother drives it with a transition;
/// a panel with a Python model drives many passes in step, one model call
/// for all of them.  Every error names its step; after one, the pass must
/// not go on.
class BackwardPass {
 public:
  BackwardPass(const CubatureSmootherInputs& in, const CubatureSmootherOutputs& out);
  Status begin();
  /// The highest step still to do (-1: done).
  Index next_step() const { return hi_; }
  Status draw();
  /// The group drawn: its steps first_step() .. next_step(), their time step
  /// and their points (step first_step() + s in rows 2n*s to 2n*(s+1)-1).
  Index first_step() const { return lo_; }
  Index step_count() const { return hi_ - lo_ + 1; }
  double dt() const { return dt_; }
  const DMatrix& points() const { return points_; }
  /// The group's steps with the images of its points (finite, the shape of
  /// `points()`).
  Status finish(const DMatrix& images);

 private:
  double dt_of(Index k) const;

  const CubatureSmootherInputs& in_;
  CubatureSmootherOutputs out_;
  Index n_;
  Workspace w_;
  DenseOps ops_;
  Index hi_;
  Index lo_ = 0;
  double dt_ = 0.0;
  Index per_call_ = 1;
  const char* q_factored_ = nullptr;  // the Q entry whose factor Sq holds
  // The group's point sets and factors, stacked step by step; sized for
  // the largest group once (a shorter one resizes them once more at most).
  DMatrix points_;
  DMatrix factors_;
};

/// Runs the backward pass.  A stack of length N serves the step k -> k+1 with
/// its entry k+1 (entry 0 is never read), one of length N-1 with entry k.
/// Fails with the transition's error, "unable to compute stable Cholesky
/// factor" (a filtered covariance or, in square-root form, a process noise
/// that cannot be factored), "failed to invert innovation covariance" (a
/// predicted covariance no stage can invert) or "smoothed estimate is not
/// finite", each naming the step; the outputs are then partly written and
/// must be discarded.
Status run_cubature_smoother(const CubatureSmootherInputs& in, PointTransition& transition,
                             const CubatureSmootherOutputs& out);

}  // namespace vexel::smoother
