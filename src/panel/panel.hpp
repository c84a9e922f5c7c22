// Panels: M independent sequences of one linear model (shared per-step
// matrices, each sequence with its own measurements and possibly its own
// initial state), filtered, smoothed or both on the worker pool.
//
// Every sequence runs the single-sequence loops of src/batch
// (sequence_routines.hpp) with working storage set up once per worker
// chunk, so its results are the bits the single-sequence routines give it,
// whatever the number of workers.  The routines read the inputs and write
// the outputs in place (no copy of a panel's data is made); the caller keeps
// both alive and unchanged until they return.  Nothing here touches Python.
#pragma once

#include "../batch/strided.hpp"

#include <optional>

namespace vexel::runtime {
class WorkerPool;
}

namespace vexel::panel {

using batch::StridedArray;

struct PanelInputs {
  StridedArray x0;  // (n,) shared, or (M, n)
  StridedArray p0;  // (n, n) shared, or (M, n, n)
  StridedArray zs;  // (M, N, m)
  StridedArray fs;  // (N, n, n), shared by every sequence
  StridedArray hs;  // (N, m, n)
  StridedArray qs;  // (N, n, n)
  StridedArray rs;  // (N, m, m)
  bool gaps = false;  // a row of all NaN is a missed measurement
};

/// A measurement row that cannot be used.
struct MeasurementFault {
  enum Kind { NonFinite, PartlyNaN, Infinite };
  Index sequence;
  Index step;
  Kind kind;
};

/// The first row (in sequence, then step order) of zs (M, N, m) that cannot
/// be used: without gaps any row holding a NaN or infinity (NonFinite);
/// with gaps a row partly NaN (PartlyNaN) or holding an infinity and no NaN
/// (Infinite).  Scanned on the pool.
std::optional<MeasurementFault> find_measurement_fault(const StridedArray& zs, bool gaps, runtime::WorkerPool& pool);

/// The first sequence (lowest index) whose inverse failed, if any.
using SequenceFailure = std::optional<Index>;

/// How the smoothing of a panel went: the first sequence whose filter or
/// smoother failed outright, and the first whose smoothed means or
/// covariances came out non-finite (an overflow the arithmetic itself does
/// not report), as the row sequence * N + step of its last non-finite step
/// (the backward pass spreads an overflow to every earlier step).
struct SmoothingFailures {
  SequenceFailure failed;
  std::optional<Index> overflowed_row;
};

struct PanelFilterOutputs {
  double* xs;               // (M, N, n), C order
  double* ps;               // (M, N, n, n)
  double* log_likelihoods;  // (M, N); NaN at missed measurements
};

/// Filters every sequence (inputs validated: shapes, finite x0, P0 and
/// model, usable measurement rows).  On failure the outputs are partly
/// written and must be discarded.
/// Why the filter pass of sequence i fails (its innovation covariance cannot
/// be inverted, or its state overflows at some step), or success when only
/// the smoothing pass of that sequence fails.  Runs the sequence again on
/// the calling thread: a failure is rare, and the workers keep no more than
/// the lowest failing index.
Status sequence_filter_status(const PanelInputs& in, Index i);

SequenceFailure run_panel_filter(const PanelInputs& in, const PanelFilterOutputs& out, runtime::WorkerPool& pool);

struct PanelSmootherOutputs {
  double* xs;              // (M, N, n) smoothed means
  double* ps;              // (M, N, n, n) smoothed covariances, or nullptr: not wanted
  double* log_likelihood;  // (M,): each sequence's total over its observed steps
};

/// Filters and smooths every sequence in one pass: the filtered trace goes
/// straight into the outputs (covariances into per-worker scratch when they
/// are not wanted) and is smoothed there in place.
SmoothingFailures run_panel_smoother(const PanelInputs& in, const PanelSmootherOutputs& out, runtime::WorkerPool& pool);

struct PanelRtsInputs {
  StridedArray xs;  // (M, N, n) filtered means
  StridedArray ps;  // (M, N, n, n) filtered covariances
  StridedArray fs;  // (N or N-1, n, n), shared
  StridedArray qs;  // (N or N-1, n, n), shared
};

/// The smoother of every filtered sequence, into (M, N, n) and (M, N, n, n).
SmoothingFailures run_panel_rts(const PanelRtsInputs& in, double* xs_out, double* ps_out, runtime::WorkerPool& pool);

}  // namespace vexel::panel
