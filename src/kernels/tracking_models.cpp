#include "tracking_models.hpp"

#include <cmath>

namespace vexel {

namespace {

/// sin(a) / a (sin_a = sin(a), which the callers need anyway), 1 at a = 0.  Below |a| = 1e-3 the series 1 - a^2/6 + a^4/120
/// (its next term, a^6/5040 < 2e-22, is far below half an ulp of 1); above,
/// the quotient, whose two roundings keep it within about an ulp.  Both sides
/// agree to rounding at the threshold, so the motion models stay continuous
/// as the turn rate goes to zero and reach constant velocity exactly at zero.
inline double sinc(double a, double sin_a) {
  if (std::fabs(a) < 1e-3) {
    const double a2 = a * a;
    return 1.0 + a2 * (-1.0 / 6.0 + a2 * (1.0 / 120.0));
  }
  return sin_a / a;
}

/// The state index a constant holds, or -1 when it is not a whole number in
/// [0, 2^53) (NaN included).
inline std::intptr_t index_constant(double value) {
  if (!(value >= 0.0 && value < 9007199254740992.0) || std::floor(value) != value) return -1;
  return static_cast<std::intptr_t>(value);
}

/// The checks every model starts with: no extra arguments, a point count
/// that is not negative, the dims the model needs (0: any positive).
inline int check_call(std::intptr_t n_points, std::intptr_t dim_in, std::intptr_t dim_out, std::intptr_t n_params,
                      std::intptr_t need_in, std::intptr_t need_out) {
  if (n_params != 0) return kModelUnexpectedParams;
  if (n_points < 0 || dim_in < 1 || dim_out < 1) return kModelWrongDimensions;
  if ((need_in != 0 && dim_in != need_in) || (need_out != 0 && dim_out != need_out)) return kModelWrongDimensions;
  return kModelOk;
}

/// Reads `count` position indices from constants[first..], each below dim_in.
int position_indices(const double* constants, std::intptr_t first, std::intptr_t count, std::intptr_t dim_in,
                     std::intptr_t* indices) {
  for (std::intptr_t k = 0; k < count; ++k) {
    indices[k] = index_constant(constants[first + k]);
    if (indices[k] < 0) return kModelBadConstants;
  }
  for (std::intptr_t k = 0; k < count; ++k) {
    if (indices[k] >= dim_in) return kModelWrongDimensions;
  }
  return kModelOk;
}

/// linear_product for an N x N matrix: each image entry 0.0 plus the
/// products of its row in column order, as below.
template <int N>
int fixed_linear_product(const double* __restrict points, double* __restrict images, std::intptr_t n_points,
                         const double* __restrict M) {
  for (std::intptr_t p = 0; p < n_points; ++p) {
    const double* x = points + p * N;
    double* y = images + p * N;
    double sums[N] = {};
    for (int j = 0; j < N; ++j) {
      for (int i = 0; i < N; ++i) sums[i] += M[i * N + j] * x[j];
    }
    for (int i = 0; i < N; ++i) y[i] = sums[i];
  }
  return kModelOk;
}

/// images = points @ M.T, the sum over each row of M taken in column order.
int linear_product(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                   std::intptr_t dim_out, std::intptr_t n_params, const void* user_data) {
  if (const int code = check_call(n_points, dim_in, dim_out, n_params, 0, 0)) return code;
  if (user_data == nullptr) return kModelBadConstants;
  const double* M = static_cast<const double*>(user_data);
  // A square matrix of a small size (a transition): the same sums with the
  // sizes fixed, so that the rows' independent sums run side by side.
  if (dim_in == dim_out) {
    switch (dim_in) {
      case 2: return fixed_linear_product<2>(points, images, n_points, M);
      case 3: return fixed_linear_product<3>(points, images, n_points, M);
      case 4: return fixed_linear_product<4>(points, images, n_points, M);
      case 5: return fixed_linear_product<5>(points, images, n_points, M);
      case 6: return fixed_linear_product<6>(points, images, n_points, M);
      default: break;
    }
  }
  for (std::intptr_t p = 0; p < n_points; ++p) {
    const double* x = points + p * dim_in;
    double* y = images + p * dim_out;
    for (std::intptr_t i = 0; i < dim_out; ++i) {
      const double* row = M + i * dim_in;
      double sum = 0.0;
      for (std::intptr_t j = 0; j < dim_in; ++j) sum += row[j] * x[j];
      y[i] = sum;
    }
  }
  return kModelOk;
}

}  // namespace

int coordinated_turn_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                           std::intptr_t dim_out, double dt, const double* /*params*/, std::intptr_t n_params,
                           void* /*user_data*/) {
  if (const int code = check_call(n_points, dim_in, dim_out, n_params, 5, 5)) return code;
  for (std::intptr_t p = 0; p < n_points; ++p) {
    const double* x = points + 5 * p;
    double* y = images + 5 * p;
    const double px = x[0], py = x[1], vx = x[2], vy = x[3], omega = x[4];
    // The velocity turns by a = omega dt.  The displacement, the integral of
    // the turning velocity, is dt sinc(a/2) times the velocity turned by a/2:
    // the usual sin(a)/omega and (1 - cos a)/omega terms in half-angle form,
    // which neither divides by a small omega nor cancels in 1 - cos a.
    const double a = omega * dt;
    const double h = 0.5 * a;
    // One sine-cosine pair of the half angle serves the chord and the turn.
    const double ch = std::cos(h), sh = std::sin(h);
    const double chord = dt * sinc(h, sh);
    // The velocity's turn from the half angle's (double-angle formulas, each
    // within an ulp or two of cos a and sin a): one sine-cosine pair per
    // point instead of two.
    const double ca = 1.0 - 2.0 * (sh * sh), sa = 2.0 * (sh * ch);
    y[0] = px + chord * (ch * vx - sh * vy);
    y[1] = py + chord * (sh * vx + ch * vy);
    y[2] = ca * vx - sa * vy;
    y[3] = sa * vx + ca * vy;
    y[4] = omega;
  }
  return kModelOk;
}

int ctrv_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
               std::intptr_t dim_out, double dt, const double* /*params*/, std::intptr_t n_params,
               void* /*user_data*/) {
  if (const int code = check_call(n_points, dim_in, dim_out, n_params, 5, 5)) return code;
  for (std::intptr_t p = 0; p < n_points; ++p) {
    const double* x = points + 5 * p;
    double* y = images + 5 * p;
    const double px = x[0], py = x[1], heading = x[2], speed = x[3], yaw_rate = x[4];
    // Moving along an arc of turn a = yaw_rate dt covers the chord
    // speed dt sinc(a/2) in the direction heading + a/2; this is
    // speed/yaw_rate (sin(heading + a) - sin(heading)) and its cosine twin,
    // written without the division.
    const double a = yaw_rate * dt;
    const double h = 0.5 * a;
    const double chord = speed * dt * sinc(h, std::sin(h));
    const double direction = heading + h;
    y[0] = px + chord * std::cos(direction);
    y[1] = py + chord * std::sin(direction);
    y[2] = heading + a;
    y[3] = speed;
    y[4] = yaw_rate;
  }
  return kModelOk;
}

int range_bearing_setup(std::intptr_t n_points, std::intptr_t dim_in, std::intptr_t dim_out, std::intptr_t n_params,
                        const void* user_data, double* sensor, std::intptr_t* at) {
  if (const int code = check_call(n_points, dim_in, dim_out, n_params, 0, 2)) return code;
  if (user_data == nullptr) return kModelBadConstants;
  const double* c = static_cast<const double*>(user_data);
  if (const int code = position_indices(c, 2, 2, dim_in, at)) return code;
  sensor[0] = c[0];
  sensor[1] = c[1];
  return kModelOk;
}

int range_bearing_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                        std::intptr_t dim_out, double /*dt*/, const double* /*params*/, std::intptr_t n_params,
                        void* user_data) {
  double sensor[2];
  std::intptr_t at[2];
  if (const int code = range_bearing_setup(n_points, dim_in, dim_out, n_params, user_data, sensor, at)) return code;
  const double sx = sensor[0], sy = sensor[1];
  for (std::intptr_t p = 0; p < n_points; ++p) {
    const double* x = points + p * dim_in;
    double* y = images + 2 * p;
    const double dx = x[at[0]] - sx, dy = x[at[1]] - sy;
    y[0] = std::hypot(dx, dy);
    y[1] = std::atan2(dy, dx);
  }
  return kModelOk;
}

int range_bearing_elevation_model(const double* points, double* images, std::intptr_t n_points,
                                  std::intptr_t dim_in, std::intptr_t dim_out, double /*dt*/,
                                  const double* /*params*/, std::intptr_t n_params, void* user_data) {
  if (const int code = check_call(n_points, dim_in, dim_out, n_params, 0, 3)) return code;
  if (user_data == nullptr) return kModelBadConstants;
  const double* c = static_cast<const double*>(user_data);
  std::intptr_t at[3];
  if (const int code = position_indices(c, 3, 3, dim_in, at)) return code;
  const double sx = c[0], sy = c[1], sz = c[2];
  for (std::intptr_t p = 0; p < n_points; ++p) {
    const double* x = points + p * dim_in;
    double* y = images + 3 * p;
    const double dx = x[at[0]] - sx, dy = x[at[1]] - sy, dz = x[at[2]] - sz;
    // hypot keeps squares of large or tiny offsets from overflowing or
    // underflowing; the range is the hypotenuse of ground range and height.
    const double ground = std::hypot(dx, dy);
    y[0] = std::hypot(ground, dz);
    y[1] = std::atan2(dy, dx);
    y[2] = std::atan2(dz, ground);
  }
  return kModelOk;
}

int linear_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                 std::intptr_t dim_out, double /*dt*/, const double* /*params*/, std::intptr_t n_params,
                 void* user_data) {
  return linear_product(points, images, n_points, dim_in, dim_out, n_params, user_data);
}

int linear_measurement_model(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                             std::intptr_t dim_out, double /*dt*/, const double* /*params*/,
                             std::intptr_t n_params, void* user_data) {
  return linear_product(points, images, n_points, dim_in, dim_out, n_params, user_data);
}

const std::vector<BuiltinModel>& builtin_models() {
  static const std::vector<BuiltinModel> models = {
      {"coordinated_turn", coordinated_turn_model, 0},
      {"ctrv", ctrv_model, 0},
      {"range_bearing", range_bearing_model, 4},
      {"range_bearing_elevation", range_bearing_elevation_model, 6},
      {"linear", linear_model, -1},
      {"linear_measurement", linear_measurement_model, -1},
  };
  return models;
}

const BuiltinModel* find_builtin_model(const std::string& name) {
  for (const BuiltinModel& model : builtin_models()) {
    if (name == model.name) return &model;
  }
  return nullptr;
}

}  // namespace vexel
