// Doubles in SIMD registers through the GCC and Clang vector extensions: the
// register types, unaligned loads and stores, and the sum of a register's
// lanes, for kernels written once for two lanes and once for four.
#pragma once

#include "linalg.hpp"

#include <cstring>

namespace vexel::simd {

/// Two doubles as one SSE2/NEON register, four as one AVX register.  Columns
/// are read and written through `load` and `store` (unaligned moves), never
/// through pointers to these types.
typedef double Pair __attribute__((vector_size(16)));
typedef double Quad __attribute__((vector_size(32)));

template <class V>
constexpr Index kLanes = static_cast<Index>(sizeof(V) / sizeof(double));

// The helpers pass AVX vectors by value, which GCC flags as an ABI change
// for code built without AVX; they are always inlined into the functions
// compiled for AVX2, so no call ever crosses that boundary.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class V>
__attribute__((always_inline)) inline V load(const double* p) {
  V r;
  std::memcpy(&r, p, sizeof r);
  return r;
}

template <class V>
__attribute__((always_inline)) inline void store(double* p, const V& value) {
  std::memcpy(p, &value, sizeof value);
}

/// The lanes added in order, from the first.
template <class V>
__attribute__((always_inline)) inline double lane_sum(const V& d) {
  double s = d[0];
  for (Index l = 1; l < kLanes<V>; ++l) s += d[l];
  return s;
}
#pragma GCC diagnostic pop

}  // namespace vexel::simd
