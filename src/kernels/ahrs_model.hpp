// Observation model of the attitude and heading update: predicted gravity and
// magnetic-field directions in the sensor frame for a quaternion state
// (q0 scalar first), plus the reference magnetic direction derived from the
// angle between the two measured vectors.
#pragma once

#include "linalg.hpp"
#include "result.hpp"

namespace vexel {

/// Reference magnetic direction (mx, 0, mz), a unit vector.
struct MagneticReference {
  double mx;
  double mz;
};

/// mz = cosine of the angle between z[0..2] (accelerometer) and z[3..5]
/// (magnetometer), clamped to [-1, 1]; mx = sqrt(max(0, 1 - mz^2)).  Fails
/// with ValueError "acceleration and magnetic measurements must have positive
/// finite norms" when a squared norm is 0 or a norm is not finite.
Result<MagneticReference> magnetic_reference_terms(const DVector& z);

/// Predicted measurements (rows x 6) for the quaternions in columns 0..3 of
/// each row of points, not normalised.  Cannot fail for >= 4 columns; fewer
/// columns with at least one row is an internal failure (InternalFailure).
DMatrix ahrs_observation_model(const DMatrix& points, double mx, double mz);

}  // namespace vexel
