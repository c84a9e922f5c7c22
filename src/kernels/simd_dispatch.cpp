// The run-time choice between the AVX2 and the two-lane SIMD kernels, and of
// the width of the tiles of filters the many-filter routines step together.
#include "simd_dispatch.hpp"

#include <cstdlib>
#include <cstring>

namespace vexel::simd {

namespace {

/// The switch as read once per process: 0 when unset, 1 for "scalar",
/// 2 for any other value.
int baseline_switch() {
  static const int value = [] {
    const char* v = std::getenv("VEXEL_CKF_BASELINE_SIMD");
    if (v == nullptr) return 0;
    return std::strcmp(v, "scalar") == 0 ? 1 : 2;
  }();
  return value;
}

}  // namespace

bool avx2_kernels() {
#ifdef VEXEL_AVX2_KERNELS
  static const bool avx2 = __builtin_cpu_supports("avx2") && baseline_switch() == 0;
  return avx2;
#else
  return false;
#endif
}

int tile_width() {
  if (baseline_switch() == 1) return 1;
  return avx2_kernels() ? 4 : 2;
}

}  // namespace vexel::simd
