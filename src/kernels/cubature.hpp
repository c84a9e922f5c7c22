// Third-degree spherical-radial cubature rule: the 2n equally weighted points
// that stand for a Gaussian, and the kernels that turn a propagated point set
// back into a mean and a (cross) covariance.
//
// Point-set layout, relied on by every caller: one point per row, rows 0..n-1
// are the plus points x + sqrt(n) L[:, j], rows n..2n-1 the minus points
// x - sqrt(n) L[:, j], in the same column order.  Every point has weight
// 1/(2n), applied as one factor w = 1.0 / rows.
#pragma once

#include "factorization.hpp"
#include "linalg.hpp"
#include "result.hpp"

namespace vexel {

/// A cubature point set (2n by n) and the jitter its factorisation needed.
struct PointSet {
  DMatrix X;
  double jitter;
};

/// Cubature points of N(x, P) from the jittered Cholesky factor of P (only
/// the lower triangle of P is read).  Fails with the factorisation's error
/// "unable to compute stable Cholesky factor", producing no points.
Result<PointSet> cubature_points(const DVector& x, const DMatrix& P);

/// cubature_points into X with caller-owned scratch (the factor is left in
/// L); false where cubature_points fails.  Allocation-free once the scratch
/// has the right sizes.
bool cubature_points(const DVector& x, const DMatrix& P, FactorWork& work, DMatrix& L, DMatrix& X, double& jitter);

/// Cubature points of the Gaussian with mean x and lower factor S (used as
/// given: no factorisation, no jitter).  Cannot fail.
DMatrix cubature_points_from_factor(const DVector& x, const DMatrix& S);
void cubature_points_from_factor(const DVector& x, const DMatrix& S, DMatrix& X);
/// The same points written into caller memory: component i of point j at
/// out[j * point_stride + i * component_stride] (points 0..n-1 the plus
/// points, n..2n-1 their minus twins), so C-ordered arrays and blocks of
/// several point sets are filled directly.
void cubature_points_from_factor(const DVector& x, const DMatrix& S, double* out, Index point_stride,
                                 Index component_stride);

/// Mean of the rows of Y over its first m columns: each column summed from
/// 0.0 in increasing row order, then multiplied by w = 1.0 / rows.  Cannot fail.
DVector row_mean(const DMatrix& Y, Index m);
void row_mean(const DMatrix& Y, Index m, DVector& mean);

/// Y with v subtracted from every row (Y is consumed and returned).  Cannot fail.
DMatrix centered_rows(DMatrix Y, const DVector& v);
/// v subtracted from every row of Y in place.
void center_rows(DMatrix& Y, const DVector& v);

/// Equal-weight moment of two centred point sets: A^T B, then every element
/// multiplied by w = 1.0 / rows.  Cannot fail.
DMatrix moment(const DMatrix& A, const DMatrix& B);
void moment(const DMatrix& A, const DMatrix& B, DMatrix& M);

/// The failures of a prediction or an update whose new state (mean,
/// covariance or factor) holds a NaN or an infinity, typically an overflow in
/// the user's model: the filter keeps the state it had.
inline Error non_finite_prediction() { return Error::runtime("prediction produced non-finite state"); }
inline Error non_finite_update() { return Error::runtime("update produced non-finite state"); }

/// Makes a square A exactly symmetric: each off-diagonal pair becomes
/// (A(i, j) + A(j, i)) * 0.5 in both places; the diagonal is untouched.
void symmetrize_in_place(DMatrix& A);

}  // namespace vexel
