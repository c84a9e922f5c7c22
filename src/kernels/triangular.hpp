// Triangular solves and the rank-one Cholesky downdate of the square-root
// filter.  All work in place on column-major storage, one contiguous column
// of the factor per inner loop.
#pragma once

#include "linalg.hpp"

namespace vexel {

/// Solves L Y = B for Y in place (B becomes Y), L lower triangular (its strict
/// upper triangle is not read).  Returns false, leaving B untouched, when a
/// diagonal entry of L is exactly 0.0.
bool forward_substitute(const DMatrix& L, DMatrix& B);

/// Solves L^T W = B for W in place (B becomes W), L lower triangular (its
/// strict upper triangle is not read).  Returns false, leaving B untouched,
/// when a diagonal entry of L is exactly 0.0.
bool back_substitute_transposed(const DMatrix& L, DMatrix& B);

/// Rank-one downdate L L^T - u u^T of a lower factor, in place.  Returns false
/// as soon as some r2 = L(k,k)^2 - u(k)^2 is not finite and > 0; L is then
/// partly modified and must be discarded by the caller.
bool cholesky_downdate(DMatrix& L, DVector u);

/// The same downdate with u given as working storage that it overwrites
/// (for example a column of a scratch matrix, so that a caller applying m
/// downdates needs no per-column copy).
bool cholesky_downdate_in_place(DMatrix& L, Eigen::Ref<DVector> u);

}  // namespace vexel
