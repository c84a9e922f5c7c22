// Choice of matrix types for a step by its sizes: compile-time sizes for the
// common small models (states of 1 to 6 with 1 to 3 measurements, and
// (4, 4), (6, 6), (12, 6)), run-time sizes with stack storage up to 16,
// fully dynamic storage beyond.  Every variant runs the same formulas; the
// first two sum their products in the same sequential order (see `mul`),
// so only the fully dynamic one may differ in the last bits.
#pragma once

#include "linear_step.hpp"

#include <utility>

namespace vexel::batch {

inline constexpr int kBoundedMax = 16;

using BoundedSizes = StepSizes<Eigen::Dynamic, Eigen::Dynamic, kBoundedMax, kBoundedMax>;
using DynamicSizes = StepSizes<Eigen::Dynamic, Eigen::Dynamic>;

/// Calls Fn::template run<Sizes>(args...) with the sizes type that fits
/// state size n and measurement size m.
template <class Fn, class... Args>
auto dispatch_state_measurement(Index n, Index m, Args&&... args) {
#define VEXEL_FIXED(N, M) \
  if (n == N && m == M) return Fn::template run<StepSizes<N, M>>(std::forward<Args>(args)...);
  VEXEL_FIXED(1, 1)
  VEXEL_FIXED(1, 2)
  VEXEL_FIXED(1, 3)
  VEXEL_FIXED(2, 1)
  VEXEL_FIXED(2, 2)
  VEXEL_FIXED(2, 3)
  VEXEL_FIXED(3, 1)
  VEXEL_FIXED(3, 2)
  VEXEL_FIXED(3, 3)
  VEXEL_FIXED(4, 1)
  VEXEL_FIXED(4, 2)
  VEXEL_FIXED(4, 3)
  VEXEL_FIXED(5, 1)
  VEXEL_FIXED(5, 2)
  VEXEL_FIXED(5, 3)
  VEXEL_FIXED(6, 1)
  VEXEL_FIXED(6, 2)
  VEXEL_FIXED(6, 3)
  VEXEL_FIXED(4, 4)
  VEXEL_FIXED(6, 6)
  VEXEL_FIXED(12, 6)
#undef VEXEL_FIXED
  if (n <= kBoundedMax && m <= kBoundedMax) return Fn::template run<BoundedSizes>(std::forward<Args>(args)...);
  return Fn::template run<DynamicSizes>(std::forward<Args>(args)...);
}

/// The same choice for routines that only depend on the state size.
template <class Fn, class... Args>
auto dispatch_state(Index n, Args&&... args) {
#define VEXEL_FIXED(N) \
  if (n == N) return Fn::template run<StepSizes<N, 1>>(std::forward<Args>(args)...);
  VEXEL_FIXED(1)
  VEXEL_FIXED(2)
  VEXEL_FIXED(3)
  VEXEL_FIXED(4)
  VEXEL_FIXED(5)
  VEXEL_FIXED(6)
  VEXEL_FIXED(12)
#undef VEXEL_FIXED
  if (n <= kBoundedMax) return Fn::template run<BoundedSizes>(std::forward<Args>(args)...);
  return Fn::template run<DynamicSizes>(std::forward<Args>(args)...);
}

}  // namespace vexel::batch
