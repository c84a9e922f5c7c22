#include "ckf_state.hpp"

#include "../kernels/storage.hpp"

#include <cmath>

namespace vexel {

Result<CkfState> CkfState::create(std::uint64_t dim_x, std::uint64_t dim_z, double dt) {
  if (dim_x == 0 || dim_z == 0) return Error::value("dim_x and dim_z must be positive");
  if (!std::isfinite(dt)) return Error::value("dt must be finite");
  // x, x_prior, x_post; y, z, z_pred; P, Q, P_prior, P_post; R, S, SI; K.
  Status room = check_storage({{dim_x, 3}, {dim_z, 3}, {dim_x, dim_x}, {dim_x, dim_x}, {dim_x, dim_x}, {dim_x, dim_x},
                               {dim_z, dim_z}, {dim_z, dim_z}, {dim_z, dim_z}, {dim_x, dim_z}});
  if (!room.ok()) return room.error();

  const auto n = static_cast<Index>(dim_x);
  const auto m = static_cast<Index>(dim_z);
  CkfState s;
  s.dim_x = n;
  s.dim_z = m;
  s.dt = dt;
  s.x = DVector::Zero(n);
  s.P = DMatrix::Identity(n, n);
  s.Q = DMatrix::Identity(n, n);
  s.R = DMatrix::Identity(m, m);
  s.K = DMatrix::Zero(n, m);
  s.y = DVector::Zero(m);
  s.z = DVector::Zero(m);
  s.S = DMatrix::Identity(m, m);
  s.SI = DMatrix::Identity(m, m);
  s.x_prior = DVector::Zero(n);
  s.P_prior = DMatrix::Identity(n, n);
  s.x_post = DVector::Zero(n);
  s.P_post = DMatrix::Identity(n, n);
  s.z_pred = DVector::Zero(m);
  return s;
}

void CkfState::reset_jitter_counters() {
  jitter = JitterStats{};
  singular_innovation_count = 0;
}

}  // namespace vexel
