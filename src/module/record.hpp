// The row writer shared by both filter classes' record_step: one call writes
// row i of the run() output arrays.
#pragma once

#include "../kit/kit.hpp"

#include "../kernels/linalg.hpp"

#include <cstdint>

namespace vexel::py {

/// Write row i of `out` = (xs_post, Ps_post, xs_prior, Ps_prior,
/// log_likelihoods, nis).  A tuple of the wrong length is a ValueError, an
/// item of the wrong kind a TypeError (nothing written yet); a refused write
/// borrow or an index outside an array is an internal failure that keeps the
/// elements already written.
void record_row(std::uint64_t i, PyObject* out, const DVector& x_post, const DMatrix& P_post,
                const DVector& x_prior, const DMatrix& P_prior, double log_likelihood, double nis);

/// The run() outputs as C-ordered storage of N rows, written row by row
/// without Python (a whole run in one native call).  Any of them may be
/// nullptr: not wanted (a smoother needs the posteriors only, a likelihood
/// evaluation none).
struct RunRows {
  double* xs;
  double* Ps;
  double* xs_prior;
  double* Ps_prior;
  double* log_likelihoods;
  double* nis;
  Index n;

  void store(Index i, const DVector& x_post, const DMatrix& P_post, const DVector& x_prior, const DMatrix& P_prior,
             double log_likelihood, double nis_value) const;
};

}  // namespace vexel::py
