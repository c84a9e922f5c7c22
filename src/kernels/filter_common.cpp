// The state both cubature filter forms share (see filter_common.hpp).
#include "filter_common.hpp"

#include "storage.hpp"

#include <cmath>
#include <vector>

namespace vexel {

Status FilterCommon::check_new(std::uint64_t dim_x, std::uint64_t dim_z, double dt, std::uint64_t square_x,
                               std::uint64_t square_z) {
  if (dim_x == 0 || dim_z == 0) return Error::value("dim_x and dim_z must be positive");
  if (!std::isfinite(dt)) return Error::value("dt must be finite");
  // x, x_prior, x_post; y, z, z_pred; K; then the form's square matrices,
  // counted as one stack per dimension (the sum of bytes is the same).
  std::vector<StorageShape> shapes{{dim_x, 3}, {dim_z, 3}, {dim_x, dim_z}};
  shapes.insert(shapes.end(), square_x, StorageShape{dim_x, dim_x});
  shapes.insert(shapes.end(), square_z, StorageShape{dim_z, dim_z});
  return check_storage(shapes.data(), shapes.size());
}

void FilterCommon::init_common(std::uint64_t states, std::uint64_t measurements, double step) {
  const auto n = static_cast<Index>(states);
  const auto m = static_cast<Index>(measurements);
  dim_x = n;
  dim_z = m;
  dt = step;
  x = DVector::Zero(n);
  K = DMatrix::Zero(n, m);
  y = DVector::Zero(m);
  z = DVector::Zero(m);
  z_pred = DVector::Zero(m);
  x_prior = DVector::Zero(n);
  x_post = DVector::Zero(n);
}

DVector corrected_mean(const DVector& x, const DMatrix& K, const DVector& y) {
  DVector Ky(x.size());
  Ky.noalias() = K * y;
  return x + Ky;
}

void FilterCommon::reset_common_counters() {
  jitter = JitterStats{};
  singular_innovation_count = 0;
}

void FilterCommon::clear_common_diagnostics() {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  y.setZero();
  z.setConstant(kNaN);
  z_pred.setZero();
  K.setZero();
  log_likelihood = kNaN;
  likelihood = kNaN;
  mahalanobis = kNaN;
  nis = kNaN;
  x_post = x;
}

}  // namespace vexel
