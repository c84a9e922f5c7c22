// Creating and resetting the square-root state (see srckf_state.hpp).
#include "srckf_state.hpp"

namespace vexel {

Result<SrckfState> SrckfState::create(std::uint64_t dim_x, std::uint64_t dim_z, double dt) {
  using S = SrckfState;
  return create_as<S>(dim_x, dim_z, dt, {&S::chol_P, &S::chol_Q, &S::chol_P_prior, &S::chol_P_post},
                      {&S::chol_R, &S::S_innov});
}

void SrckfState::reset_jitter_counters() {
  reset_common_counters();
  downdate_fallback_count = 0;
}

}  // namespace vexel
