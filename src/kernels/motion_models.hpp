// Built-in kinematic motion models (constant velocity, constant acceleration)
// for any number of independent axes, in the blocked or interleaved state
// layout.  Only the transition matrix is built; process noise is the filter's.
#pragma once

#include "linalg.hpp"
#include "result.hpp"

#include <array>
#include <string>

namespace vexel {

/// Accepted model names, in published order: constant_velocity, constant_acceleration.
const std::array<const char*, 2>& supported_standard_models();

/// Accepted layout names, in published order: blocked, interleaved.
const std::array<const char*, 2>& supported_standard_layouts();

/// Transition matrix F (dim_x by dim_x) of a standard model.  Fails with a
/// ValueError for an unknown model (checked first), an unknown layout, or a
/// dim_x that is not a multiple of the model's order.
Result<DMatrix> transition_matrix(const std::string& model_type, const std::string& layout,
                                  Index dim_x, double dt);

}  // namespace vexel
