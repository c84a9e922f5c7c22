// The calling convention of a compiled model: the one contract of the
// built-in models, of functions compiled by numba and of any C-level
// function a user hands over (scipy's LowLevelCallable conventions).
//
// It is called once per filter and step with all of that filter's cubature
// points, one point per row in C order (n_points x dim_in), and writes their
// images (n_points x dim_out, C order) to `images`.  `dt` is the prediction's
// time step (0 for a measurement model); `params` holds the call's numeric
// extra arguments.  It returns 0 on success, any other value on failure.
// Several worker threads may call it at once, so it must not touch Python
// nor keep state between calls.
#pragma once

#include <cstdint>

namespace vexel {

using ModelFunction = int (*)(const double* points, double* images, std::intptr_t n_points, std::intptr_t dim_in,
                              std::intptr_t dim_out, double dt, const double* params, std::intptr_t n_params,
                              void* user_data);

/// The function's C signature as a capsule names it (scipy's convention).
inline constexpr const char kModelSignature[] =
    "int (const double *, double *, intptr_t, intptr_t, intptr_t, double, const double *, intptr_t, void *)";

}  // namespace vexel

namespace vexel {

/// A compiled model bound to its data and the numeric parameters of one
/// call: what a worker needs to evaluate it on a filter's points.  Holds no
/// Python object, so the bank's workers call it without the interpreter.
struct ModelFunctionCall {
  ModelFunction function = nullptr;
  void* user_data = nullptr;
  const double* params = nullptr;
  std::intptr_t n_params = 0;

  /// The model on `rows` points of `dim_in` entries: its return code.
  int operator()(const double* points, double* images, std::intptr_t rows, std::intptr_t dim_in,
                 std::intptr_t dim_out, double dt) const {
    return function(points, images, rows, dim_in, dim_out, dt, params, n_params, user_data);
  }
};

}  // namespace vexel
