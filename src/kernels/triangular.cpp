#include "triangular.hpp"

#include <cmath>

namespace vexel {

namespace {

void require_solve_shapes(const DMatrix& L, const DMatrix& B) {
  if (L.rows() != L.cols() || B.rows() != L.rows()) {
    internal_failure("triangular solve shapes agree", __FILE__, __LINE__);
  }
}

bool has_zero_diagonal(const DMatrix& L) {
  for (Index k = 0; k < L.rows(); ++k) {
    if (L.coeff(k, k) == 0.0) return true;
  }
  return false;
}

}  // namespace

bool forward_substitute(const DMatrix& L, DMatrix& B) {
  require_solve_shapes(L, B);
  if (has_zero_diagonal(L)) return false;
  const Index n = L.rows();
  for (Index c = 0; c < B.cols(); ++c) {
    double* b = B.col(c).data();
    // Column-oriented: once y[k] is known, remove its contribution from the
    // rows below using column k of L.
    for (Index k = 0; k < n; ++k) {
      const double* lk = L.col(k).data();
      const double yk = b[k] / lk[k];
      b[k] = yk;
      for (Index i = k + 1; i < n; ++i) b[i] -= lk[i] * yk;
    }
  }
  return true;
}

bool back_substitute_transposed(const DMatrix& L, DMatrix& B) {
  require_solve_shapes(L, B);
  if (has_zero_diagonal(L)) return false;
  const Index n = L.rows();
  for (Index c = 0; c < B.cols(); ++c) {
    double* b = B.col(c).data();
    // Row k of L^T is column k of L: each unknown is a dot product with a
    // contiguous column below the diagonal.
    for (Index k = n - 1; k >= 0; --k) {
      const double* lk = L.col(k).data();
      double s = b[k];
      for (Index i = k + 1; i < n; ++i) s -= lk[i] * b[i];
      b[k] = s / lk[k];
    }
  }
  return true;
}

bool cholesky_downdate(DMatrix& L, DVector u) { return cholesky_downdate_in_place(L, u); }

bool cholesky_downdate_in_place(DMatrix& L, Eigen::Ref<DVector> u) {
  const Index n = L.rows();
  if (L.cols() != n || u.size() != n) internal_failure("downdate shapes agree", __FILE__, __LINE__);
  double* uu = u.data();
  for (Index k = 0; k < n; ++k) {
    double* lk = L.col(k).data();
    const double lkk = lk[k];
    const double uk = uu[k];
    const double l2 = lkk * lkk;
    const double u2 = uk * uk;
    const double r2 = l2 - u2;
    // A non-positive r2 means L L^T - u u^T has lost positive definiteness
    // (at least numerically); the caller falls back to covariance space.
    if (!(std::isfinite(r2) && r2 > 0.0)) return false;
    const double rk = std::sqrt(r2);
    const double c = lkk / rk;
    const double s = uk / rk;
    lk[k] = rk;
    // Hyperbolic rotation of (L[:, k], u); both updates use the old values.
    for (Index i = k + 1; i < n; ++i) {
      const double lik = lk[i];
      const double ui = uu[i];
      const double cl = c * lik;
      const double su = s * ui;
      const double cu = c * ui;
      const double sl = s * lik;
      lk[i] = cl - su;
      uu[i] = cu - sl;
    }
  }
  return true;
}

}  // namespace vexel
