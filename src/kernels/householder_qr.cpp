// The column-by-column Householder QR of householder_qr.hpp, for the stacks
// of the smallest models.
#include "householder_qr.hpp"

namespace vexel {

void lower_factor_qr_by_columns(DMatrix& A, DVector& diag, DMatrix& L, bool triangular_head) {
  const Index m = A.rows();
  const Index n = A.cols();
  for (Index i = 0; i < n; ++i) {
    double* x = A.col(i).data();
    // The reflector's support below its head row: rows t0..m-1.
    const Index t0 = triangular_head ? n : i + 1;
    const Eigen::Map<const DVector> tail(x + t0, m - t0);
    const double x0 = x[i];
    const Reflector h = reflector_of(x0, x0 * x0 + tail.squaredNorm());
    diag.coeffRef(i) = h.alpha;
    if (!h.eliminate) continue;
    const double v0 = h.v0;
    x[i] = v0;
    const double beta = h.beta;
    // Each remaining column: one vectorised dot with v, one vectorised update.
    for (Index c = i + 1; c < n; ++c) {
      double* yc = A.col(c).data();
      Eigen::Map<DVector> y(yc + t0, m - t0);
      const double tau = beta * (v0 * yc[i] + tail.dot(y));
      yc[i] -= tau * v0;
      y -= tau * tail;
    }
  }
  lower_from_reflections(A.data(), m, n, diag, L);
}

}  // namespace vexel
