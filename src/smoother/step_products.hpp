// The working storage and the dense products of one step of the backward
// smoother (cubature_smoother.cpp), built for the common small state sizes
// and on AVX registers where the processor has them (from 7 states on, and
// for the steps a fixed-lag window repeats from 4 states on); the pass
// reaches them through one table of functions chosen once per call.
#pragma once

#include "../kernels/factorization.hpp"
#include "../kernels/linalg.hpp"

#include <algorithm>
#include <vector>

namespace vexel::smoother {

/// the stack are zero, so every column is a whole number of registers.
constexpr Index padded_rows(Index rows) { return (rows + 3) & ~Index{3}; }

/// Whether the square-root form merges the noise and the next smoothed factor
/// into one triangular factor before the smoothing QR (see `merge_upper_pair`).
/// Below 7 states the merge's serial chain of square roots costs more than
/// the two small products and the n more QR rows it saves.
constexpr bool merges(Index n) { return n > 6; }

/// Rows of the smoothing stack: 2n residual rows under which the noise and
/// the next smoothed factor take n rows merged or 2n apart.
constexpr Index smoothing_rows(Index n) { return padded_rows((merges(n) ? 3 : 4) * n); }

/// Working storage of the backward pass, sized once for the state dimension
/// so that no step allocates (only the transition's own images are new).
struct Workspace {
  Index n = 0;
  DVector x, xp, d, x_s, x_s_next, diag, reflector;
  DMatrix P, Q, L, X, Y, Xc, Yc, C, Pp, G, B, D, P_s, P_s_next, S_s_next, S_s, Sq, Sp, F, inv, A_pred, A_smooth, U;
  FactorWork factor_work;

  explicit Workspace(Index dim) : n(dim) {
    x.resize(n);
    xp.resize(n);
    d.resize(n);
    x_s.resize(n);
    x_s_next.resize(n);
    diag.resize(n);
    for (DMatrix* m : {&P, &Q, &L, &C, &Pp, &G, &B, &D, &P_s, &P_s_next, &S_s_next, &S_s, &Sq, &Sp, &F, &inv}) {
      m->resize(n, n);
    }
    X.resize(2 * n, n);
    Xc.resize(2 * n, n);
    Yc.resize(2 * n, n);
    A_pred = DMatrix::Zero(padded_rows(3 * n), n);
    A_smooth = DMatrix::Zero(smoothing_rows(n), n);
    reflector.resize(std::max(padded_rows(3 * n), smoothing_rows(n)));
    U.resize(2 * n, n);
    factor_work.W.resize(n, n);
    factor_work.L.resize(n, n);
    factor_work.d.resize(n);
  }
};

/// The buffers of one combine of the covariance form (n and n by n,
/// column-major), for a caller that keeps a step's first half elsewhere
/// than in the workspace: the fixed-lag window combines its slots in place.
struct CombineBuffers {
  const double* x;
  const double* xp;
  const double* G;
  const double* P;
  const double* Pp;
  const double* x_s_next;
  const double* P_s_next;
  double* x_s;
  double* P_s;
};

/// The products and QRs of a step, for one state size and register width.
struct DenseOps {
  void (*cross)(Workspace&, double);
  void (*predicted_covariance)(Workspace&, double);
  void (*solve_with_factor)(const DMatrix&, Workspace&);
  /// These two also say whether their result (x_s, P_s) is finite.
  bool (*mean_correction)(Workspace&, const std::vector<Index>&);
  bool (*covariance_correction)(Workspace&);
  void (*predicted_factor_qr)(DMatrix&, double*, DVector&, DMatrix&);
  void (*smoothed_factor_qr)(DMatrix&, double*, DVector&, DMatrix&);
  void (*merge_upper_pair)(DMatrix&);
  /// The smoothing stack in two parts: the head, which does not depend on
  /// the smoothed step k+1 (a fixed-lag window forms it once per step), and
  /// the tail, which does.
  void (*smoothing_head)(Workspace&, double);
  void (*smoothing_tail)(Workspace&);
  void (*factor_product)(Workspace&);
  /// `mean_correction` and `covariance_correction` on `CombineBuffers`, for
  /// states without angles, with n by n of scratch; whether both results
  /// are finite.  Null for the sizes without such a build: the caller then
  /// goes through the workspace (the results are the same).
  bool (*combine_covariance)(const CombineBuffers&, double* scratch);
};

/// The table for n states: the fixed-size builds for n in 2..6 and 12, the
/// run-time-size build otherwise; from 7 states on the AVX2 builds where
/// `simd::avx2_kernels` admits them.  For 4 to 6 states, where it admits
/// them, AVX2 builds of the combine, the cross-covariance, the gain's
/// solve and the square-root stack's tail, which form every entry as the
/// fixed-size builds do: the same bits on any processor.
DenseOps dense_ops_for(Index n);

}  // namespace vexel::smoother
