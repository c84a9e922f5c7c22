// Vectorised model callbacks: the user's fx or hx sees all cubature points
// in one Python call and returns one row per point.
#pragma once

#include "array_accept.hpp"
#include "errors.hpp"
#include "python_api.hpp"

#include "../kernels/linalg.hpp"

namespace vexel::py {

/// The one call of a user's Python model: fx(points, dt, *extra_args)
/// (pass_dt) or hx(points, *extra_args), `points` handed over to the
/// argument tuple and `extra_args` a tuple or nullptr.  The callback may
/// run any Python code, so it is called through `interpreter_call`: a
/// daemon thread that the interpreter ends inside it at shutdown leaves the
/// references on its stack alone.  Fails with the callback's own exception.
Ref call_python_model(PyObject* callable, Ref points, bool pass_dt, double dt, PyObject* extra_args);

/// A model's output as a float64 array of shape (rows, columns),
/// read-borrowed.  Its errors (not an array, wrong number of dimensions,
/// wrong dtype, "model output must have shape (rows, columns), got (a, b)")
/// carry the callback ("fx" with pass_dt, else "hx") and the expected shape
/// as their detail, for the Python layer's advice.
ArrayIn accept_model_output(PyObject* result, bool pass_dt, Index rows, Index columns);

/// Call fx(points, dt, *extra_args) (pass_dt) or hx(points, *extra_args)
/// once, with a fresh C-ordered copy of the point set, and return the result
/// as a (rows, expected_columns) matrix.  `extra_args` is a tuple or
/// nullptr.  Fails with the callback's own exception, the array errors for
/// the name "model output", or (with `check_finite`) the non-finite-row
/// ValueError.
DMatrix call_model_vectorized(PyObject* callable, const DMatrix& points, bool pass_dt, PyObject* extra_args,
                              Index expected_columns, double dt, bool check_finite = true);

/// First row in [begin, end) of a model output holding a NaN or infinity;
/// end when there is none.
Index first_non_finite_row(const DMatrix& out, Index begin, Index end);

/// The ValueError for a non-finite model output row (numbered within its
/// point set).
Error non_finite_model_output(bool pass_dt, Index row);

}  // namespace vexel::py
