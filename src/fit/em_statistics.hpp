// The expectation step of EM for linear-Gaussian state-space models: for
// every sequence of a panel, the Kalman filter, the Rauch-Tung-Striebel
// smoother back to the prior of the state before step 0, and the sufficient
// statistics of the closed-form maximisation, on the worker pool.  Nothing
// here touches Python.
//
// Conventions are those of the batch routines: step k predicts with F, Q
// from the state of step k-1, and step 0 from the prior (x0, P0), so a
// sequence of N steps has N transitions, the first from the prior.
//
// Statistics are kept relative to the model in force (residual forms), so
// that the large means of a trend never meet in a difference of large sums:
// with smoothed moments E[.] = E[. | all measurements of the sequence],
//   trans_resid  sum_k E[e_k e_k^T],        e_k = x_k - F x_{k-1}   (n, n)
//   trans_cross  sum_k E[e_k x_{k-1}^T]                             (n, n)
//   prev_moment  sum_k E[x_{k-1} x_{k-1}^T]                         (n, n)
// over the N transitions (x_{-1} is the prior state), and
//   obs_resid    sum_k E[r_k r_k^T],        r_k = y_k - H x_k       (m, m)
//   obs_cross    sum_k E[r_k x_k^T]                                 (m, n)
//   obs_moment   sum_k E[x_k x_k^T]                                 (n, n)
// over the observed steps (a row of all NaN is a missed measurement: its
// step only predicts and adds nothing to these three).
#pragma once

#include "../batch/strided.hpp"
#include "../kernels/result.hpp"

#include <optional>

namespace vexel::runtime {
class WorkerPool;
}

namespace vexel::fit {

using batch::StridedArray;

struct EmInputs {
  StridedArray x0;  // (n,) shared, or (M, n)
  StridedArray p0;  // (n, n) shared, or (M, n, n)
  StridedArray zs;  // (M, N, m), rows of all NaN are missed measurements
  StridedArray f;   // (n, n) shared, or (M, n, n): one per sequence
  StridedArray h;   // (m, n) or (M, m, n)
  StridedArray q;   // (n, n) or (M, n, n)
  StridedArray r;   // (m, m) or (M, m, m)
  /// One set of statistics per sequence; otherwise one set summed over the
  /// sequences.
  bool per_series = false;
};

/// Number of doubles in one set of statistics, laid out as trans_resid,
/// trans_cross, prev_moment, obs_resid, obs_cross, obs_moment (each C-ordered).
inline Index em_statistics_size(Index n, Index m) { return 4 * n * n + m * m + m * n; }

struct EmOutputs {
  double* log_likelihood;  // (M,): each sequence's total over its observed steps
  double* statistics;      // (G, em_statistics_size): G = M per series, else 1
  double* x_init;          // (M, n): smoothed mean of the prior state
  double* p_init;          // (M, n, n): its smoothed covariance
};

/// Why the pass failed for the lowest failing sequence.
struct EmFailure {
  Index sequence;
  Error error;
};

/// The statistics of every sequence (inputs validated: shapes, finite
/// model, usable measurement rows).  The shared sum adds the sequences in
/// their order within fixed blocks and the blocks in order, so it does not
/// depend on the number of workers.  On failure the outputs must be
/// discarded.
std::optional<EmFailure> run_em_statistics(const EmInputs& in, const EmOutputs& out, runtime::WorkerPool& pool);

}  // namespace vexel::fit
