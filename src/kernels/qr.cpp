#include "qr.hpp"

#include <cmath>

namespace vexel {

Result<DMatrix> qr_to_lower_factor(DMatrix A, Index n) {
  const Index m = A.rows();
  if (m < n) return Error::runtime("qr_to_lower_factor requires at least n rows");
  if (A.cols() != n) internal_failure("qr_to_lower_factor input has n columns", __FILE__, __LINE__);

  // m >= n here, so every column gets a step.
  DVector diag(n);
  for (Index i = 0; i < n; ++i) {
    double* x = A.col(i).data();  // rows i..m-1 of column i are x[i..m-1]

    // 1. Norm of the column from the diagonal down and the sign of its head.
    double s2 = 0.0;
    for (Index k = i; k < m; ++k) s2 += x[k] * x[k];
    const double r = std::sqrt(s2);
    const double x0 = x[i];
    const double sigma = (x0 >= 0.0) ? 1.0 : -1.0;

    // 2. Householder vector v = x + sigma r e_0 (sign chosen to avoid
    //    cancellation); f = ||v||^2 computed from the old head.
    const double dp = sigma * r;
    x[i] = x0 + dp;
    const double f = 2.0 * (s2 + std::fabs(x0) * r);

    // 3. Nothing left to eliminate in this column: no reflection.
    if (f == 0.0) {
      diag.coeffRef(i) = dp;
      continue;
    }

    // 4. Normalise v (by sqrt(f), then once more by its computed norm so
    //    that the reflector is orthogonal to rounding) and reflect the
    //    remaining columns.  The extra sign s keeps row i of R consistent
    //    with the non-negative diagonal |d_i| stored below.
    const double sf = std::sqrt(f);
    for (Index k = i; k < m; ++k) x[k] /= sf;
    double v2 = 0.0;
    for (Index k = i; k < m; ++k) v2 += x[k] * x[k];
    const double nv = std::sqrt(v2);
    for (Index k = i; k < m; ++k) x[k] /= nv;

    const Index len = m - i;
    const auto v = A.col(i).segment(i, len);
    const double di = -dp;
    diag.coeffRef(i) = di;
    const bool negate = di < 0.0;
    for (Index c = i + 1; c < n; ++c) {
      double* y = A.col(c).data();
      // The dot product goes through Eigen's vectorised reduction; its
      // summation order is free, only the reflection formula is fixed.
      const double dot = v.dot(A.col(c).segment(i, len));
      const double tau = 2.0 * dot;
      if (negate) {
        // -(c - tau v) written as (tau v - c): the same rounded value, but an
        // exact zero comes out as +0.0 rather than -0.0.
        for (Index k = i; k < m; ++k) y[k] = tau * x[k] - y[k];
      } else {
        for (Index k = i; k < m; ++k) y[k] = y[k] - tau * x[k];
      }
    }
    // 5. From row i down, column i now holds v and is not used again; its
    //    entries above row i are the part of R that the extraction reads.
  }

  // Extraction: L = R^T, with R the upper triangle of the first n rows of the
  // transformed A and |d_i| on its diagonal.
  DMatrix L(n, n);
  for (Index j = 0; j < n; ++j) {
    double* lj = L.col(j).data();
    for (Index i = 0; i < j; ++i) lj[i] = 0.0;
    lj[j] = std::fabs(diag.coeff(j));
    for (Index i = j + 1; i < n; ++i) lj[i] = A.coeff(j, i);
  }
  // A column whose diagonal came out negative is flipped as a whole; with the
  // absolute values above this is a guard that never fires.
  for (Index i = 0; i < n; ++i) {
    double* li = L.col(i).data();
    if (li[i] < 0.0) {
      for (Index k = i; k < n; ++k) li[k] = -li[k];
    }
  }
  return L;
}

}  // namespace vexel
