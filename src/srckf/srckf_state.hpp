// State of the square-root cubature Kalman filter: the common filter fields
// plus lower-triangular Cholesky factors in place of every covariance.
//
// The filter never stores a covariance: it keeps the factors (state, process
// noise, measurement noise, innovation, prior and posterior) and propagates
// them directly, so the implied covariances stay symmetric and positive
// semidefinite by construction.  Covariances exist only at the Python
// boundary, as products L L^T.
#pragma once

#include "../kernels/filter_common.hpp"
#include "../kernels/linalg.hpp"
#include "../kernels/result.hpp"

#include <cstdint>

namespace vexel {

struct SrckfState : FilterCommon {
  // Lower factors of the state covariance, the process noise and the default
  // measurement noise; of the last innovation covariance; and of the state
  // covariance after the last prediction (prior) and update (posterior).
  DMatrix chol_P, chol_Q, chol_R;
  DMatrix S_innov;
  DMatrix chol_P_prior, chol_P_post;
  // Jitter is recorded with record_jitter_max (the square-root rule).
  std::uint64_t downdate_fallback_count = 0;

  /// Zero means, identity factors, a zero gain and NaN diagnostics.  Fails
  /// with "dim_x and dim_z must be positive", then "dt must be finite", then
  /// MemoryError when the storage cannot exist.
  static Result<SrckfState> create(std::uint64_t dim_x, std::uint64_t dim_z, double dt);

  /// Zero the jitter fields and both failure counters.
  void reset_jitter_counters();
};

}  // namespace vexel
