// Vectorised model callbacks (see model_callbacks.hpp).
#include "model_callbacks.hpp"

#include "array_accept.hpp"
#include "array_convert.hpp"
#include "array_output.hpp"
#include "finite_checks.hpp"
#include "number_format.hpp"
#include "results.hpp"

#include "../runtime/worker_pool.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

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

namespace {

/// Copies a model's output into `out` in C order.  A large C-ordered output
/// (a bank's, the usual result of NumPy arithmetic) is copied in blocks by
/// the workers while this thread keeps the interpreter lock, so no Python
/// code can touch the array meanwhile; any other layout is copied element by
/// element here.
void copy_output(const ArrayIn& a, double* out) {
  const auto total = static_cast<std::size_t>(a.dim(0) * a.dim(1));
  const bool aligned = reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) == 0;
  if (!aligned || !PyArray_IS_C_CONTIGUOUS(a.array()) || total < (std::size_t{1} << 16)) {
    copy_c_order(a, out);
    return;
  }
  const auto* in = reinterpret_cast<const double*>(a.data());
  runtime::WorkerPool::instance().parallel_for(total, std::size_t{1} << 15, [&](std::size_t begin, std::size_t end) {
    std::memcpy(out + begin, in + begin, (end - begin) * sizeof(double));
  });
}

/// The cached array when it can be drawn into again: held by nothing else,
/// still a writeable, aligned, C-ordered float64 array of its own memory
/// with the shape of this call's points (a callback may have reshaped or
/// frozen it in place).
Ref reuse_points(Ref& cache, const npy_intp* dims) {
  Ref points = std::move(cache);
  if (!points || Py_REFCNT(points.get()) != 1) return new_array(2, dims);
  auto* a = reinterpret_cast<PyArrayObject*>(points.get());
  const bool usable = PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == dims[0] && PyArray_DIM(a, 1) == dims[1] &&
                      PyArray_TYPE(a) == NPY_DOUBLE && PyArray_BASE(a) == nullptr && PyArray_ISCARRAY(a) &&
                      PyArray_ISNOTSWAPPED(a);
  return usable ? std::move(points) : new_array(2, dims);
}

}  // namespace

double* PythonModel::points(Index rows, Index dim_in) {
  check_shape_fits({rows, dim_in});
  const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(dim_in)};
  points_ = cache_ != nullptr ? reuse_points(*cache_, dims) : new_array(2, dims);
  rows_ = rows;
  return array_data(points_);
}

ArrayIn PythonModel::call(double dt, Index dim_out) {
  Ref kept = cache_ != nullptr ? Ref::borrow(points_.get()) : Ref();
  Ref result = call_python_model(callable_, std::move(points_), pass_dt_, dt, extra_args_);
  ArrayIn output = accept_model_output(result.get(), pass_dt_, rows_, dim_out);
  if (cache_ != nullptr) *cache_ = std::move(kept);
  return output;
}

void PythonModel::evaluate(double dt, Index dim_out, double* images) { copy_output(call(dt, dim_out), images); }

void PythonModel::evaluate(double dt, Index dim_out, DMatrix& images) {
  images = pyarray2_to_dmatrix(call(dt, dim_out), rows_, dim_out, "model output");
}

DMatrix evaluate_points(PointModel& model, const DMatrix& X, double dt, Index dim_out, bool pass_dt,
                        bool check_finite) {
  DMatrix out;
  evaluate_points(model, X, dt, dim_out, pass_dt, out, check_finite);
  return out;
}

void evaluate_points(PointModel& model, const DMatrix& X, double dt, Index dim_out, bool pass_dt, DMatrix& out,
                     bool check_finite) {
  double* points = model.points(X.rows(), X.cols());
  if (X.size() > 0) {
    Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(points, X.rows(), X.cols()) = X;
  }
  evaluate_drawn(model, dt, dim_out, pass_dt, out, check_finite);
}

void evaluate_drawn(PointModel& model, double dt, Index dim_out, bool pass_dt, DMatrix& out, bool check_finite) {
  model.evaluate(dt, dim_out, out);
  // Report the first row holding a NaN or infinity.
  if (check_finite) {
    const Index bad_row = first_non_finite_row(out, 0, out.rows());
    if (bad_row < out.rows()) fail(non_finite_model_output(pass_dt, bad_row));
  }
}

Index first_non_finite_row(const DMatrix& out, Index begin, Index end) {
  // The usual case, all finite, in one pass over a whole set of images.
  if (begin == 0 && end == out.rows() && vexel::all_finite(out.data(), out.size())) return end;
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
