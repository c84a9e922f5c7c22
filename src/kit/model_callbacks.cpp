// Vectorised model callbacks (see model_callbacks.hpp).
#include "model_callbacks.hpp"

#include "array_accept.hpp"
#include "array_convert.hpp"
#include "array_output.hpp"
#include "finite_checks.hpp"
#include "number_format.hpp"
#include "results.hpp"

#include <string>

namespace vexel::py {

Ref call_python_model(PyObject* callable, Ref points, bool pass_dt, double dt, PyObject* extra_args) {
  // The argument tuple: points, then dt (prediction only), then extras.
  const Py_ssize_t n_extra = extra_args ? PyTuple_Size(extra_args) : 0;
  const Py_ssize_t n_fixed = pass_dt ? 2 : 1;
  Ref call_args = Ref::steal(PyTuple_New(n_fixed + n_extra));
  if (!call_args) fail_python();
  PyTuple_SetItem(call_args.get(), 0, points.release());
  if (pass_dt) PyTuple_SetItem(call_args.get(), 1, new_float(dt).release());
  for (Py_ssize_t k = 0; k < n_extra; ++k) {
    PyTuple_SetItem(call_args.get(), n_fixed + k, Ref::borrow(PyTuple_GetItem(extra_args, k)).release());
  }
  // One call; the callback's exception passes through unchanged.
  Ref result = Ref::steal(interpreter_call([&] { return PyObject_Call(callable, call_args.get(), nullptr); }));
  if (!result) fail_python();
  return result;
}

ArrayIn accept_model_output(PyObject* result, bool pass_dt, Index rows, Index columns) {
  try {
    ArrayIn a = accept_array(result, 2);
    if (a.dim(0) != rows || a.dim(1) != columns) {
      Error e = Error::value("model output must have shape (" + num(rows) + ", " + num(columns) + "), got (" +
                             num(a.dim(0)) + ", " + num(a.dim(1)) + ")");
      e.because("shape").got_shape = {a.dim(0), a.dim(1)};
      throw e;
    }
    return a;
  } catch (Error& e) {
    if (e.detail) {
      e.detail->callback = pass_dt ? "fx" : "hx";
      e.detail->expected = {rows, columns};
    }
    throw;
  }
}

DMatrix call_model_vectorized(PyObject* callable, const DMatrix& points, bool pass_dt, PyObject* extra_args,
                              Index expected_columns, double dt, bool check_finite) {
  Ref result = call_python_model(callable, dmatrix_to_pyarray(points), pass_dt, dt, extra_args);

  // Accept and copy the result under the name "model output".
  DMatrix out;
  {
    ArrayIn a = accept_model_output(result.get(), pass_dt, points.rows(), expected_columns);
    out = pyarray2_to_dmatrix(a, points.rows(), expected_columns, "model output");
  }

  // Report the first row holding a NaN or infinity.
  if (check_finite) {
    const Index bad_row = first_non_finite_row(out, 0, out.rows());
    if (bad_row < out.rows()) fail(non_finite_model_output(pass_dt, bad_row));
  }
  return out;
}

Index first_non_finite_row(const DMatrix& out, Index begin, Index end) {
  Index bad_row = end;
  for (Index c = 0; c < out.cols(); ++c) {
    const double* col = out.col(c).data();
    for (Index r = begin; r < bad_row; ++r) {
      if (!is_finite(col[r])) {
        bad_row = r;
        break;
      }
    }
  }
  return bad_row;
}

Error non_finite_model_output(bool pass_dt, Index row) {
  const std::string text = std::to_string(row);
  return Error::value(std::string(pass_dt ? "fx" : "hx") + " returned non-finite values (NaN or inf) in output row " +
                      text + " (sigma point " + text + "); x and P were left unchanged");
}

}  // namespace vexel::py
