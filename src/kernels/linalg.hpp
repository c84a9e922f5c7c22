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
#include <cstring>

namespace vexel {

/// Dense double matrix, run-time size, column-major, owned by value.
using DMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor>;
/// Dense double column vector, run-time length.
using DVector = Eigen::Matrix<double, Eigen::Dynamic, 1>;
using Index = Eigen::Index;

/// ln(2 pi) as a double; enters every log-likelihood.
inline constexpr double kLn2Pi = 1.8378770664093453;

// Caller memory (NumPy arrays) need not be aligned: a view of a bytes buffer
// at an odd offset is a valid float64 array.  Elements are therefore moved
// with memcpy, which compiles to a plain load or store valid at any address.
inline double load_double(const char* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_double(char* p, double v) { std::memcpy(p, &v, sizeof v); }

/// Whether none of `count` values is a NaN or an infinity: the exponent bits
/// of every value tested, without branches.  A value is not finite exactly
/// when its exponent bits are all set, and then only does adding the lowest
/// exponent bit carry into the top bit; AND, ADD and OR on 64-bit lanes are
/// in every x86-64 vector unit, so the compiler vectorises the loop (an
/// equality test of 64-bit lanes is not, before SSE4.1).
inline bool all_finite(const double* v, Index count) {
  constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
  constexpr std::uint64_t kLowestExponentBit = 0x0010000000000000ULL;
  std::uint64_t top = 0;
  for (Index i = 0; i < count; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, v + i, sizeof bits);
    top |= (bits & kExponent) + kLowestExponentBit;
  }
  return (top >> 63) == 0;
}

/// Saturating increment of an unsigned 64-bit counter.
inline void saturating_increment(std::uint64_t& counter) {
  if (counter != UINT64_MAX) ++counter;
}

}  // namespace vexel
