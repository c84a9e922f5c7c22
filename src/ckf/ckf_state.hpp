// State of the covariance-form cubature Kalman filter.
//
// The object owns every field by value; dimensions are fixed at
// construction and every stored array keeps its shape for the object's life.
#pragma once

#include "../kernels/factorization.hpp"
#include "../kernels/linalg.hpp"

#include <cstdint>
#include <limits>

namespace vexel {

struct CkfState {
  Index dim_x = 0;
  Index dim_z = 0;
  double dt = 0.0;

  DVector x;        // current state mean
  DMatrix P;        // current state covariance
  DMatrix Q;        // process-noise covariance
  DMatrix R;        // default measurement-noise covariance
  DMatrix K;        // gain of the last update
  DVector y;        // innovation of the last update
  DVector z;        // measurement of the last update
  DMatrix S;        // innovation covariance of the last update
  DMatrix SI;       // inverse of S used by the last update
  DVector x_prior;  // mean after the last prediction
  DMatrix P_prior;  // covariance after the last prediction
  DVector x_post;   // mean after the last update
  DMatrix P_post;   // covariance after the last update
  DVector z_pred;   // predicted measurement of the last update

  double log_likelihood = std::numeric_limits<double>::quiet_NaN();
  double likelihood = std::numeric_limits<double>::quiet_NaN();
  double mahalanobis = std::numeric_limits<double>::quiet_NaN();
  double nis = std::numeric_limits<double>::quiet_NaN();
  JitterStats jitter;
  std::uint64_t singular_innovation_count = 0;

  /// A filter with zero means, identity covariances, a zero gain and NaN
  /// diagnostics.  Fails with "dim_x and dim_z must be positive", then
  /// "dt must be finite", then MemoryError when the storage cannot exist.
  static Result<CkfState> create(std::uint64_t dim_x, std::uint64_t dim_z, double dt);

  /// Zero out jitter fields and the singular-innovation count.
  void reset_jitter_counters();
};

}  // namespace vexel
