// Which SIMD kernels a call runs: the AVX2 builds of the register kernels
// where the processor has AVX2, the two-lane builds every target has
// otherwise.  The AVX2 builds are single functions compiled for AVX2 on
// their own (`__attribute__((target("avx2")))`), never whole units, so the
// rest of the library runs on any x86-64 processor.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
/// Defined where the AVX2 builds of the kernels exist.
#define VEXEL_AVX2_KERNELS 1
#endif

namespace vexel::simd {

/// Whether the AVX2 builds run: the processor has AVX2 (asked by
/// `__builtin_cpu_supports`) and the environment does not set
/// VEXEL_CKF_BASELINE_SIMD (any value), which keeps every machine on the
/// two-lane kernels, for tests of them.  Decided once per process, on first use.
/// Four lanes sum in another order than two, so the last bits of a result
/// depend on this (each machine is consistent with itself).  Always false
/// where the AVX2 builds do not exist.
bool avx2_kernels();

/// How many filters the many-filter routines step together, one per SIMD
/// lane: 4 where the AVX2 builds run, 2 (the two-lane builds every target
/// has) otherwise, and 1 (one filter after another, no tiles) when
/// VEXEL_CKF_BASELINE_SIMD is "scalar".  Every lane performs the one-filter
/// path's operations in its order, so results never depend on this; the
/// switch is there to compare the paths.  Decided once per process.
int tile_width();

}  // namespace vexel::simd
