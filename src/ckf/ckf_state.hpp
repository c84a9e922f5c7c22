// State of the covariance-form cubature Kalman filter: the common filter
// fields plus the covariances, kept as matrices.
//
// The object owns every field by value; dimensions are fixed at
// construction and every stored array keeps its shape for the object's life.
#pragma once

#include "../kernels/filter_common.hpp"
#include "../kernels/linalg.hpp"
#include "../kernels/result.hpp"

#include <cstdint>

namespace vexel {

struct CkfState : FilterCommon {
  // Covariances: the state's, the process noise, the default measurement
  // noise, then those of the last update (innovation S and the inverse SI it
  // used), the prediction (prior) and the update (posterior).
  DMatrix P, Q, R;
  DMatrix S, SI;
  DMatrix P_prior, P_post;

  /// A filter with zero means, identity covariances, a zero gain and NaN
  /// diagnostics.  Fails with "dim_x and dim_z must be positive", then
  /// "dt must be finite", then MemoryError when the storage cannot exist.
  static Result<CkfState> create(std::uint64_t dim_x, std::uint64_t dim_z, double dt);

  /// Zero out jitter fields and the singular-innovation count.
  void reset_jitter_counters();
};

}  // namespace vexel
