// The run-time choice between the AVX2 and the two-lane SIMD kernels.
#include "simd_dispatch.hpp"

#include <cstdlib>

namespace vexel::simd {

bool avx2_kernels() {
#ifdef VEXEL_AVX2_KERNELS
  static const bool avx2 = __builtin_cpu_supports("avx2") && std::getenv("VEXEL_CKF_BASELINE_SIMD") == nullptr;
  return avx2;
#else
  return false;
#endif
}

}  // namespace vexel::simd
