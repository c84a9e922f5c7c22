// The sequential batch routines: the linear Kalman filter over a whole
// sequence and the Rauch-Tung-Striebel smoother.  Inputs are read-only
// strided views of caller memory (already validated for shape and, for the
// filter, finiteness); outputs are written into C-ordered buffers supplied by
// the caller.
#pragma once

#include "strided.hpp"

#include "../kernels/result.hpp"

namespace vexel::batch {

struct LinearFilterInputs {
  StridedArray x0;  // (dim_x,)
  StridedArray p0;  // (dim_x, dim_x)
  StridedArray zs;  // (N, dim_z)
  StridedArray fs;  // (N, dim_x, dim_x)
  StridedArray hs;  // (N, dim_z, dim_x)
  StridedArray qs;  // (N, dim_x, dim_x)
  StridedArray rs;  // (N, dim_z, dim_z)
  /// A row of zs all NaN is a missed measurement (predict only, NaN
  /// log-likelihood); the single-sequence function refuses NaN beforehand.
  bool gaps = false;
};

struct LinearFilterOutputs {
  double* xs;               // (N, dim_x), C order
  double* ps;               // (N, dim_x, dim_x), C order
  double* log_likelihoods;  // (N,)
};

/// Runs the N predict/update steps (step k predicts with fs[k], qs[k], then
/// updates with zs[k], hs[k], rs[k], Joseph form) and stores the posterior
/// and the log-likelihood of every step.  Fails with the innovation
/// inverse's RuntimeError when some step's S cannot be inverted at all; the
/// outputs are then partially written and must be discarded.
Status run_linear_filter(const LinearFilterInputs& in, const LinearFilterOutputs& out);

struct SmootherInputs {
  StridedArray xs;  // (N, dim_x)
  StridedArray ps;  // (N, dim_x, dim_x)
  StridedArray fs;  // (N or N-1, dim_x, dim_x)
  StridedArray qs;  // (N or N-1, dim_x, dim_x)
};

struct SmootherOutputs {
  double* xs;  // (N, dim_x), C order
  double* ps;  // (N, dim_x, dim_x), C order
};

/// Backward pass from k = N-2 down to 0; fs and qs are each read by their
/// own leading length (N: entry k+1 serves the step k -> k+1; N-1: entry k).
/// The last state is the filtered one.  Fails with the innovation inverse's
/// RuntimeError when a predicted covariance cannot be inverted.
Status run_rts_smoother(const SmootherInputs& in, const SmootherOutputs& out);

}  // namespace vexel::batch
