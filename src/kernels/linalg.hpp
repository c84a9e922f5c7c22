// Dense linear-algebra value types of the native engine.
//
// Eigen's own assertions are routed to our internal-failure path so that a
// broken invariant becomes a PanicException instead of aborting the process.
#pragma once

#include "result.hpp"

#ifndef eigen_assert
#define eigen_assert(x)                                              \
  do {                                                               \
    if (!static_cast<bool>(x)) ::vexel::internal_failure(#x, __FILE__, __LINE__); \
  } while (false)
#endif

#include <Eigen/Dense>

#include <cstdint>

namespace vexel {

/// Dense double matrix, run-time size, column-major, owned by value.
using DMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor>;
/// Dense double column vector, run-time length.
using DVector = Eigen::Matrix<double, Eigen::Dynamic, 1>;
using Index = Eigen::Index;

/// ln(2 pi) as a double; enters every log-likelihood.
inline constexpr double kLn2Pi = 1.8378770664093453;

/// Saturating increment of an unsigned 64-bit counter.
inline void saturating_increment(std::uint64_t& counter) {
  if (counter != UINT64_MAX) ++counter;
}

}  // namespace vexel
