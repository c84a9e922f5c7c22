// Creating and resetting the covariance-form state (see ckf_state.hpp).
#include "ckf_state.hpp"

namespace vexel {

Result<CkfState> CkfState::create(std::uint64_t dim_x, std::uint64_t dim_z, double dt) {
  return create_as<CkfState>(dim_x, dim_z, dt, {&CkfState::P, &CkfState::Q, &CkfState::P_prior, &CkfState::P_post},
                             {&CkfState::R, &CkfState::S, &CkfState::SI});
}

void CkfState::reset_jitter_counters() { reset_common_counters(); }

}  // namespace vexel
