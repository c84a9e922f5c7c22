// The part of a cubature filter's state that both forms (covariance and
// square root) hold alike: dimensions, time step, the mean with its prior and
// posterior copies, the last update's gain, innovation and measurements, the
// likelihood diagnostics and the jitter accounting.
//
// Each form derives its state from FilterCommon and adds how it keeps the
// covariances (as matrices or as Cholesky factors).
#pragma once

#include "factorization.hpp"
#include "linalg.hpp"
#include "result.hpp"

#include <cstdint>
#include <initializer_list>
#include <limits>

namespace vexel {

struct FilterCommon {
  Index dim_x = 0;
  Index dim_z = 0;
  double dt = 0.0;

  DVector x;        // current state mean
  DMatrix K;        // gain of the last update
  DVector y;        // innovation of the last update
  DVector z;        // measurement of the last update
  DVector z_pred;   // predicted measurement of the last update
  DVector x_prior;  // mean after the last prediction
  DVector x_post;   // mean after the last update

  double log_likelihood = std::numeric_limits<double>::quiet_NaN();
  double likelihood = std::numeric_limits<double>::quiet_NaN();
  double mahalanobis = std::numeric_limits<double>::quiet_NaN();
  double nis = std::numeric_limits<double>::quiet_NaN();
  JitterStats jitter;
  std::uint64_t singular_innovation_count = 0;

  /// A new State: the checks of check_new, then zero means, NaN
  /// diagnostics, and identities in the form's dim_x-square and dim_z-square
  /// matrices.
  template <class State>
  static Result<State> create_as(std::uint64_t dim_x, std::uint64_t dim_z, double dt,
                                 std::initializer_list<DMatrix State::*> square_x,
                                 std::initializer_list<DMatrix State::*> square_z) {
    Status room = check_new(dim_x, dim_z, dt, square_x.size(), square_z.size());
    if (!room.ok()) return room.error();
    State s;
    s.init_common(dim_x, dim_z, dt);
    for (DMatrix State::*m : square_x) (s.*m).setIdentity(s.dim_x, s.dim_x);
    for (DMatrix State::*m : square_z) (s.*m).setIdentity(s.dim_z, s.dim_z);
    return s;
  }

  // Shared steps of both forms' create, reset and skipped-measurement paths.
  /// The checks of a new filter, in this order: "dim_x and dim_z must be
  /// positive", "dt must be finite", then MemoryError unless the common
  /// fields plus `square_x` dim_x-by-dim_x and `square_z` dim_z-by-dim_z
  /// matrices of the form can exist together.
  static Status check_new(std::uint64_t dim_x, std::uint64_t dim_z, double dt, std::uint64_t square_x,
                          std::uint64_t square_z);
  /// Dimensions and dt set, zero means, gain, innovation and measurements,
  /// NaN diagnostics, zero counters.
  void init_common(std::uint64_t states, std::uint64_t measurements, double step);
  /// Zero the jitter fields and the singular-innovation count.
  void reset_common_counters();
  /// A skipped measurement, common part: y, z_pred and K zero, z all NaN,
  /// the four diagnostics NaN, x_post = x.
  void clear_common_diagnostics();
};

/// The corrected mean x + K y: the correction is formed in full and then
/// added (not accumulated into x term by term, which would let the product
/// kernel regroup the sum).  Cannot fail.
DVector corrected_mean(const DVector& x, const DMatrix& K, const DVector& y);

}  // namespace vexel
