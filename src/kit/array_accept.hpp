// Array acceptance: which objects count as float64 arrays of a given number
// of dimensions, and the read-borrowed handle an accepted array becomes.
#pragma once

#include "arguments.hpp"
#include "borrow_registry.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"

#include "../kernels/linalg.hpp"

namespace vexel::py {

/// An accepted float64 array of a fixed number of dimensions, read-borrowed
/// for the lifetime of this object.  Holds a strong reference.
class ArrayIn {
 public:
  ArrayIn() = default;
  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(ref_.get()); }
  int ndim() const { return PyArray_NDIM(array()); }
  npy_intp dim(int i) const { return PyArray_DIM(array(), i); }
  npy_intp stride(int i) const { return PyArray_STRIDE(array(), i); }
  const char* data() const { return static_cast<const char*>(PyArray_DATA(array())); }
  /// Element at a multi-index through the array's strides.
  double at(npy_intp i) const { return load_double(data() + i * stride(0)); }
  double at(npy_intp i, npy_intp j) const { return load_double(data() + i * stride(0) + j * stride(1)); }
  double at(npy_intp i, npy_intp j, npy_intp k) const {
    return load_double(data() + i * stride(0) + j * stride(1) + k * stride(2));
  }

  friend ArrayIn accept_array(PyObject* obj, int ndim, const char* name);

 private:
  Ref ref_;
  ArrayBorrow borrow_;
};

/// "(2, 3)", "(4,)": the array's shape as messages write it.
std::string shape_text(const ArrayIn& a);

/// Acceptance test: a NumPy ndarray (or subclass) of exactly `ndim`
/// dimensions with a dtype equivalent to native float64; TypeError
/// otherwise.  Takes the read borrow (under the argument name `name`).
ArrayIn accept_array(PyObject* obj, int ndim, const char* name = nullptr);

/// The acceptance test without a borrow (for arrays that are then written).
PyArrayObject* accept_array_unborrowed(PyObject* obj, int ndim);

/// Argument kinds "array of 1, 2 or 3 dimensions" (TypeError prefixed).
inline ArrayIn arg_array(PyObject* obj, int ndim, const char* name) {
  return convert_arg(name, [&] { return accept_array(obj, ndim, name); });
}

}  // namespace vexel::py
