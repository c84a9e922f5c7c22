// Householder reflectors for the QRs that keep only R^T, as a lower factor
// with a non-negative diagonal: the reflector of one column, and that factor
// read off a stack the reflectors have triangularised.
#pragma once

#include "linalg.hpp"

#include <cmath>

namespace vexel {

/// The Householder reflector that maps a column with head x0 and squared
/// norm s2 (from the head down) onto alpha e_head.  alpha takes the sign
/// opposite to the head, so that v = x - alpha e never cancels; ||v||^2 =
/// 2 (s2 + |x0| r), and beta = 2 / ||v||^2.  `eliminate` is false when the
/// column is already zero.
struct Reflector {
  double alpha;
  double v0;  // v's head, x0 - alpha
  double beta;
  bool eliminate;
};

__attribute__((always_inline)) inline Reflector reflector_of(double x0, double s2) {
  const double r = std::sqrt(s2);
  const double alpha = x0 >= 0.0 ? -r : r;
  const double f = 2.0 * (s2 + std::fabs(x0) * r);
  return {alpha, x0 - alpha, 2.0 / f, f != 0.0};
}

/// L = R^T from a triangularised stack a (column-major, m rows): R's rows
/// sit above the diagonal of a's first n rows, its diagonal in diag; each
/// column of L is flipped so that its diagonal is |R_ii|.
__attribute__((always_inline)) inline void lower_from_reflections(const double* a, Index m, Index n,
                                                                  const DVector& diag, DMatrix& L) {
  for (Index j = 0; j < n; ++j) {
    double* lj = L.col(j).data();
    const double d = diag.coeff(j);
    const double sign = d < 0.0 ? -1.0 : 1.0;
    for (Index i = 0; i < j; ++i) lj[i] = 0.0;
    lj[j] = std::fabs(d);
    for (Index i = j + 1; i < n; ++i) lj[i] = sign * a[i * m + j];
  }
}

}  // namespace vexel
