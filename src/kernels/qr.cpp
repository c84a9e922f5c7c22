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

    const double di = -dp;
    diag.coeffRef(i) = di;
    const bool negate = di < 0.0;
    // c <- s (c - tau v) with tau = 2 (v . c); for s = -1 written as
    // (tau v - c): the same rounded value, but an exact zero comes out as
    // +0.0 rather than -0.0.
    auto reflect = [negate, x, i, m](double* y, double tau) {
      if (negate) {
        for (Index k = i; k < m; ++k) y[k] = tau * x[k] - y[k];
      } else {
        for (Index k = i; k < m; ++k) y[k] = y[k] - tau * x[k];
      }
    };
    Index c = i + 1;
    // Dot products four columns per pass over v: each still sums over k in
    // increasing order, so the rounding is that of one column at a time, but
    // the four independent chains keep the adder busy.
    for (; c + 3 < n; c += 4) {
      double* y0 = A.col(c).data();
      double* y1 = A.col(c + 1).data();
      double* y2 = A.col(c + 2).data();
      double* y3 = A.col(c + 3).data();
      double d0 = 0.0, d1 = 0.0, d2 = 0.0, d3 = 0.0;
      for (Index k = i; k < m; ++k) {
        const double xk = x[k];
        d0 += xk * y0[k];
        d1 += xk * y1[k];
        d2 += xk * y2[k];
        d3 += xk * y3[k];
      }
      reflect(y0, 2.0 * d0);
      reflect(y1, 2.0 * d1);
      reflect(y2, 2.0 * d2);
      reflect(y3, 2.0 * d3);
    }
    for (; c < n; ++c) {
      double* y = A.col(c).data();
      double dot = 0.0;
      for (Index k = i; k < m; ++k) dot += x[k] * y[k];
      reflect(y, 2.0 * dot);
    }
    // 5. Column i now holds v and is not read again except for R's row above.
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
