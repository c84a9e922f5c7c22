// The built-in tracking models (vexel_ckf.models): motion and measurement
// models of target tracking as compiled models, each a ModelFunction reading
// its constants from `user_data` as `const double*`.
//
// Every model returns one of these codes:
//   0  success
//   1  the call's dimensions cannot be the model's (dim_in or dim_out wrong,
//      a position index not below dim_in, a negative point count)
//   2  the constants are unusable (user_data is NULL, a position index is not
//      a non-negative whole number)
//   3  extra numeric arguments were passed; the built-ins take none
// On a nonzero code nothing has been written to `images`.
//
// The linear models cannot check their constants' count (user_data is a bare
// pointer): whoever builds one must fix dim_in and dim_out and hand over
// exactly dim_out * dim_in constants.
#pragma once

#include "model_function.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vexel {

/// Return codes of the built-in models.
enum TrackingModelCode : int {
  kModelOk = 0,
  kModelWrongDimensions = 1,
  kModelBadConstants = 2,
  kModelUnexpectedParams = 3,
};

/// A built-in model: its published name, its function and the number of
/// doubles its user_data holds (-1: dim_out * dim_in, the linear models).
struct BuiltinModel {
  const char* name;
  ModelFunction function;
  std::intptr_t constants;
};

/// Coordinated turn, state [px, py, vx, vy, omega]: the exact motion over dt
/// at the constant turn rate omega (rad/s).  No constants; dims 5 -> 5.
int coordinated_turn_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                           std::intptr_t dim_out, double dt, const double* params, std::intptr_t n_params,
                           void* user_data);

/// Constant turn rate and velocity, state [px, py, heading, speed, yaw_rate]:
/// the exact motion over dt; the heading is left unwrapped.  No constants;
/// dims 5 -> 5.
int ctrv_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
               std::intptr_t dim_out, double dt, const double* params, std::intptr_t n_params, void* user_data);

/// Range and bearing from a sensor at (sx, sy): constants [sx, sy, ix, iy]
/// (ix, iy: the state's position indices) -> [hypot(dx, dy), atan2(dy, dx)].
/// dim_out 2, dim_in above both indices.
int range_bearing_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                        std::intptr_t dim_out, double dt, const double* params, std::intptr_t n_params,
                        void* user_data);

/// The checks range_bearing_model makes before any point, for callers that
/// evaluate the same arithmetic themselves: kModelOk with the sensor
/// (sensor[0], sensor[1]) and the position indices at[0], at[1], or the
/// code the model returns.
int range_bearing_setup(std::intptr_t n_points, std::intptr_t dim_in, std::intptr_t dim_out, std::intptr_t n_params,
                        const void* user_data, double* sensor, std::intptr_t* at);

/// Range, azimuth and elevation from a sensor at (sx, sy, sz): constants
/// [sx, sy, sz, ix, iy, iz] -> [|d|, atan2(dy, dx), atan2(dz, hypot(dx, dy))].
/// dim_out 3, dim_in above the three indices.
int range_bearing_elevation_model(const double* points, double* images, std::intptr_t n_points,
                                  std::intptr_t dim_in, std::intptr_t dim_out, double dt, const double* params,
                                  std::intptr_t n_params, void* user_data);

/// images = points @ M.T for the row-major dim_out x dim_in matrix M in
/// user_data (a transition model; dt is not used).
int linear_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                 std::intptr_t dim_out, double dt, const double* params, std::intptr_t n_params, void* user_data);

/// The same product as a measurement model.
int linear_measurement_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                             std::intptr_t dim_out, double dt, const double* params, std::intptr_t n_params,
                             void* user_data);

/// All built-in models, in published order.
const std::vector<BuiltinModel>& builtin_models();

/// The built-in model of that name, or nullptr when there is none.
const BuiltinModel* find_builtin_model(const std::string& name);

}  // namespace vexel
