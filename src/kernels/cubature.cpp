#include "cubature.hpp"

#include "small_moments.hpp"

#include "factorization.hpp"

#include <cmath>
#include <utility>

namespace vexel {

Result<PointSet> cubature_points(const DVector& x, const DMatrix& P) {
  FactorWork work;
  DMatrix L;
  PointSet points;
  if (!cubature_points(x, P, work, L, points.X, points.jitter)) {
    return Error::no_factor();
  }
  return points;
}

bool cubature_points(const DVector& x, const DMatrix& P, FactorWork& work, DMatrix& L, DMatrix& X, double& jitter) {
  if (!stable_cholesky(P, work, L, jitter)) return false;
  cubature_points_from_factor(x, L, X);
  return true;
}

DMatrix cubature_points_from_factor(const DVector& x, const DMatrix& S) {
  DMatrix X;
  cubature_points_from_factor(x, S, X);
  return X;
}

void cubature_points_from_factor(const DVector& x, const DMatrix& S, DMatrix& X) {
  const Index n = x.size();
  X.resize(2 * n, n);
  // Column i of the point set holds component i of every point, so each
  // component is written as one contiguous run.
  cubature_points_from_factor(x, S, X.data(), 1, 2 * n);
}

void cubature_points_from_factor(const DVector& x, const DMatrix& S, double* out, Index point_stride,
                                 Index component_stride) {
  const Index n = x.size();
  if (S.rows() != n || S.cols() != n) {
    internal_failure("factor is n by n for a mean of length n", __FILE__, __LINE__);
  }
  const double c = std::sqrt(static_cast<double>(n));
  // Plus points first, then their minus twins.
  for (Index i = 0; i < n; ++i) {
    double* plus = out + i * component_stride;
    double* minus = plus + n * point_stride;
    const double xi = x.coeff(i);
    for (Index j = 0; j < n; ++j) {
      const double d = c * S.coeff(i, j);
      plus[j * point_stride] = d + xi;
      minus[j * point_stride] = xi - d;
    }
  }
}

DVector row_mean(const DMatrix& Y, Index m) {
  DVector mean;
  row_mean(Y, m, mean);
  return mean;
}

void row_mean(const DMatrix& Y, Index m, DVector& mean) {
  if (m < 0 || m > Y.cols()) internal_failure("row_mean count within the columns", __FILE__, __LINE__);
  const Index r = Y.rows();
  const double w = 1.0 / static_cast<double>(r);
  mean.resize(m);
  const bool small_set = small::with_small_count(m, [&](auto count) {
    small::column_sums<decltype(count)::value>(Y.data(), r, mean.data());
  });
  for (Index k = 0; k < m; ++k) {
    double sum = mean.coeff(k);
    if (!small_set) {
      const double* yk = Y.col(k).data();
      sum = 0.0;
      for (Index i = 0; i < r; ++i) sum += yk[i];
    }
    mean.coeffRef(k) = sum * w;
  }
}

DMatrix centered_rows(DMatrix Y, const DVector& v) {
  center_rows(Y, v);
  return Y;
}

void center_rows(DMatrix& Y, const DVector& v) {
  if (v.size() != Y.cols()) internal_failure("centre has one entry per column", __FILE__, __LINE__);
  const Index r = Y.rows();
  for (Index k = 0; k < Y.cols(); ++k) {
    double* yk = Y.col(k).data();
    const double vk = v.coeff(k);
    for (Index i = 0; i < r; ++i) yk[i] = yk[i] - vk;
  }
}

DMatrix moment(const DMatrix& A, const DMatrix& B) {
  DMatrix M;
  moment(A, B, M);
  return M;
}

void moment(const DMatrix& A, const DMatrix& B, DMatrix& M) {
  if (A.rows() != B.rows()) internal_failure("moment operands share their rows", __FILE__, __LINE__);
  const double w = 1.0 / static_cast<double>(A.rows());
  M.resize(A.cols(), B.cols());
  // Product first, scaling second: the weight is applied once to the sums.
  // Few columns on both sides: plain sums over the points, all at once.
  bool small_sets = false;
  if (B.cols() <= 4) {
    small_sets = small::with_small_count(A.cols(), [&](auto ca) {
      small_sets = small::with_small_count(B.cols(), [&](auto cb) {
        small::cross_gram<decltype(ca)::value, decltype(cb)::value>(A.data(), B.data(), A.rows(), M.data());
      });
    }) && small_sets;
  }
  if (!small_sets) M.noalias() = A.transpose() * B;
  M *= w;
}

void symmetrize_in_place(DMatrix& A) {
  if (A.rows() != A.cols()) internal_failure("symmetrised matrix is square", __FILE__, __LINE__);
  const Index n = A.rows();
  for (Index j = 1; j < n; ++j) {
    double* aj = A.col(j).data();
    for (Index i = 0; i < j; ++i) {
      double& lower = A.coeffRef(j, i);
      const double v = (aj[i] + lower) * 0.5;
      aj[i] = v;
      lower = v;
    }
  }
}

}  // namespace vexel
