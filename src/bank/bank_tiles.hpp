// The arithmetic of a bank's covariance-form steps for a tile of filters at
// once, one filter per SIMD lane (four on AVX2, two on the baseline).
//
// Each kernel performs, in every lane, exactly the operations of the
// one-filter path (src/ckf/ckf_ops.cpp with the small kernels of
// src/kernels) in their order: the same sums from the same first term, no
// fused multiply-add, no reassociation.  A lane's results therefore equal
// the one-filter path's bit for bit, whatever its tile-mates hold.  What
// depends on a filter's own data (a factorisation that fails, a fallback
// inverse, non-finite results) is reported per lane as a bit of the
// returned mask; the caller then handles that lane on its own.  Lanes that
// take no part still compute (on whatever their inputs hold) and are
// ignored.  Nothing here allocates, touches Python or decides a status.
#pragma once

#include "../kernels/linalg.hpp"

#include <cstdint>

namespace vexel::bank {

inline constexpr int kMaxTileLanes = 4;
inline constexpr Index kMaxTileStates = 6;
inline constexpr Index kMaxTileMeasurements = 3;

/// The quantities of one tile, structure of arrays: entry e of lane l at
/// [e * lanes + l]; matrices column-major (entry (i, j) of an r-row matrix
/// is e = j * r + i).
struct TileWork {
  static constexpr Index kN = kMaxTileStates;
  static constexpr Index kM = kMaxTileMeasurements;
  static constexpr Index kL = kMaxTileLanes;
  double L[kN * kN * kL];    // factor of P (strict upper triangle 0.0)
  double z_mean[kM * kL];    // predicted measurement
  double Pxz[kN * kM * kL];  // cross-covariance
  double S[kM * kM * kL];    // innovation covariance
  double LS[kM * kM * kL];   // its plain Cholesky factor
  double SI[kM * kM * kL];   // its inverse
  double d2[kL];             // y^T SI y
};

/// The lane-wise kernels of one build (lane count) and one size (n, m).
/// Pointer arguments `p[l]` address lane l's own storage, in the bank's
/// C order; a kernel writes a lane's results there only for lanes in
/// `store` whose results are finite.  Images are not tested: a NaN or an
/// infinity among a lane's images leaves its results non-finite (or its S
/// unfactored), and the caller tells the cases apart for that lane alone.
struct TileKernels {
  int lanes;
  /// Plain Cholesky of each lane's P (n by n; its lower triangle read) into
  /// t.L.  Bit l set where lane l's succeeded (every pivot finite and > 0).
  unsigned (*factor)(const double* const* P, TileWork& t);
  /// The same for two tiles at once (P[l] the first's lanes, P[lanes + l]
  /// the second's; the second's bits shifted by `lanes`): their chains of
  /// square roots and divisions overlap.
  unsigned (*factor_pair)(const double* const* P, TileWork& t0, TileWork& t1);
  /// Each lane's 2n cubature points of (x, t.L) into its rows (2n by n).
  void (*points)(const double* const* x, const TileWork& t, double* const* rows);
  /// The built-in coordinated turn over dt on each lane's points of
  /// (x, t.L), its images into images[l] (2n by n), exactly as the model
  /// computes them (n = 5 only; nullptr otherwise).
  void (*turn)(const double* const* x, const TileWork& t, double dt, double* const* images);
  /// Mean and moment plus Q, symmetrised, of each lane's images (2n by n),
  /// written to x and x_prior, P and P_prior.  Bit l set where they are
  /// finite.
  unsigned (*predict)(const double* const* images, const double* const* Q, unsigned store, double* const* x,
                      double* const* x_prior, double* const* P, double* const* P_prior, TileWork& t);
  /// From each lane's points of (x, t.L) and images (2n by m), the columns
  /// in the bit set `angles` first moved within pi of the lane's z:
  /// t.z_mean, t.Pxz, t.S (plus R, symmetrised), its factor t.LS and
  /// inverse t.SI.  Bit l set where S factored (elsewhere t.SI is
  /// unspecified: the caller's fallback inverse fills it).
  unsigned (*innovation)(const double* const* x, const double* const* images, const double* const* R,
                         const double* const* z, unsigned angles, TileWork& t);
  /// From t.Pxz, t.S and t.SI: gain, corrected mean and covariance (plain
  /// form, symmetrised) written to x and P, and t.d2.  Bit l set where
  /// they are finite.
  unsigned (*correct)(const double* const* z, unsigned store, double* const* x, double* const* P, TileWork& t);
  /// The built-in range and bearing from the sensor (sensor[0], sensor[1])
  /// on each lane's points of (x, t.L), positions at indices at[0] and
  /// at[1], its images into images[l] (2n by 2), exactly as the model
  /// computes them (m = 2 only; nullptr otherwise).
  void (*bearing)(const double* const* x, const TileWork& t, const double* sensor, const std::intptr_t* at,
                  double* const* images);
};

/// The kernels for states of size n and measurements of size m at the
/// process's tile width (simd::tile_width()), or nullptr where filters go
/// one at a time: a width of 1, or sizes beyond 6 states and 3 measurements
/// (m is ignored for predictions when 0).
const TileKernels* tile_kernels(Index n, Index m);

}  // namespace vexel::bank
