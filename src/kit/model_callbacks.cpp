// Vectorised model callbacks (see model_callbacks.hpp).
#include "model_callbacks.hpp"

#include "array_accept.hpp"
#include "array_convert.hpp"
#include "array_output.hpp"
#include "finite_checks.hpp"
#include "results.hpp"

#include <string>

namespace vexel::py {

DMatrix call_model_vectorized(PyObject* callable, const DMatrix& points, bool pass_dt, PyObject* extra_args,
                              Index expected_columns, double dt) {
  // The argument tuple: points, then dt (prediction only), then extras.
  const Py_ssize_t n_extra = extra_args ? PyTuple_Size(extra_args) : 0;
  const Py_ssize_t n_fixed = pass_dt ? 2 : 1;
  Ref call_args = Ref::steal(PyTuple_New(n_fixed + n_extra));
  if (!call_args) fail_python();
  PyTuple_SetItem(call_args.get(), 0, dmatrix_to_pyarray(points).release());
  if (pass_dt) PyTuple_SetItem(call_args.get(), 1, new_float(dt).release());
  for (Py_ssize_t k = 0; k < n_extra; ++k) {
    PyTuple_SetItem(call_args.get(), n_fixed + k, Ref::borrow(PyTuple_GetItem(extra_args, k)).release());
  }

  // One call; the callback's exception passes through unchanged.
  Ref result = Ref::steal(interpreter_call([&] { return PyObject_Call(callable, call_args.get(), nullptr); }));
  if (!result) fail_python();

  // Accept and copy the result under the name "model output".
  DMatrix out;
  {
    ArrayIn a = accept_array(result.get(), 2);
    out = pyarray2_to_dmatrix(a, points.rows(), expected_columns, "model output");
  }

  // Report the first row holding a NaN or infinity.
  Index bad_row = out.rows();
  for (Index c = 0; c < out.cols(); ++c) {
    const double* col = out.col(c).data();
    for (Index r = 0; r < bad_row; ++r) {
      if (!is_finite(col[r])) {
        bad_row = r;
        break;
      }
    }
  }
  if (bad_row < out.rows()) {
    const std::string row = std::to_string(bad_row);
    fail(Error::value(std::string(pass_dt ? "fx" : "hx") + " returned non-finite values (NaN or inf) in output row " +
                      row + " (sigma point " + row + "); x and P were left unchanged"));
  }
  return out;
}

}  // namespace vexel::py
