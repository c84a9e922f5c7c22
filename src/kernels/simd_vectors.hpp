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

/// W registers of W doubles each (W the lane count) turned from one lane's
/// consecutive entries per register into one entry of every lane per
/// register; its own inverse.  Shuffles only: the values are moved, never
/// rounded.
template <class V>
__attribute__((always_inline)) inline void transpose(V (&r)[kLanes<V>]) {
  if constexpr (kLanes<V> == 4) {
    using I = long long __attribute__((vector_size(32)));
    const V t0 = __builtin_shuffle(r[0], r[1], I{0, 4, 2, 6});
    const V t1 = __builtin_shuffle(r[0], r[1], I{1, 5, 3, 7});
    const V t2 = __builtin_shuffle(r[2], r[3], I{0, 4, 2, 6});
    const V t3 = __builtin_shuffle(r[2], r[3], I{1, 5, 3, 7});
    r[0] = __builtin_shuffle(t0, t2, I{0, 1, 4, 5});
    r[1] = __builtin_shuffle(t1, t3, I{0, 1, 4, 5});
    r[2] = __builtin_shuffle(t0, t2, I{2, 3, 6, 7});
    r[3] = __builtin_shuffle(t1, t3, I{2, 3, 6, 7});
  } else {
    static_assert(kLanes<V> == 2, "tiles of two or four lanes");
    using I = long long __attribute__((vector_size(16)));
    const V a = __builtin_shuffle(r[0], r[1], I{0, 2});
    const V b = __builtin_shuffle(r[0], r[1], I{1, 3});
    r[0] = a;
    r[1] = b;
  }
}

/// Entries 0..K-1 of every lane's storage p[l], one register per entry:
/// whole registers of each lane's consecutive entries, transposed (a few
/// loads and shuffles instead of one load and insert per entry and lane).
template <class V, int K>
__attribute__((always_inline)) inline void gather_block(const double* const* p, V (&out)[K]) {
  constexpr int W = static_cast<int>(kLanes<V>);
  constexpr int whole = K / W * W;
  _Pragma("GCC unroll 64") for (int g = 0; g < whole; g += W) {
    V r[W];
    _Pragma("GCC unroll 4") for (int l = 0; l < W; ++l) r[l] = load<V>(p[l] + g);
    transpose(r);
    _Pragma("GCC unroll 4") for (int l = 0; l < W; ++l) out[g + l] = r[l];
  }
  _Pragma("GCC unroll 64") for (int e = whole; e < K; ++e) {
    V v;
    _Pragma("GCC unroll 4") for (int l = 0; l < W; ++l) v[l] = p[l][e];
    out[e] = v;
  }
}

/// The inverse of gather_block, for the lanes set in `write` only.
template <class V, int K>
__attribute__((always_inline)) inline void scatter_block(unsigned write, const V (&in)[K], double* const* p) {
  constexpr int W = static_cast<int>(kLanes<V>);
  constexpr int whole = K / W * W;
  _Pragma("GCC unroll 64") for (int g = 0; g < whole; g += W) {
    V r[W];
    _Pragma("GCC unroll 4") for (int l = 0; l < W; ++l) r[l] = in[g + l];
    transpose(r);
    _Pragma("GCC unroll 4") for (int l = 0; l < W; ++l) {
      if (write & (1u << l)) store(p[l] + g, r[l]);
    }
  }
  _Pragma("GCC unroll 4") for (int l = 0; l < W; ++l) {
    if (!(write & (1u << l))) continue;
    _Pragma("GCC unroll 64") for (int e = whole; e < K; ++e) p[l][e] = in[e][l];
  }
}
#pragma GCC diagnostic pop

}  // namespace vexel::simd
