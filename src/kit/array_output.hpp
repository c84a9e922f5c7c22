// New NumPy arrays for results: C-contiguous, owning, built from owned
// values, with the size check that comes before any allocation.
#pragma once

#include "errors.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"

#include "../kernels/linalg.hpp"

#include <initializer_list>

namespace vexel::py {

/// New uninitialised array of `nd` dimensions (float64 or int64).
Ref new_array(int nd, const npy_intp* dims, int typenum = NPY_DOUBLE);
/// New zero-filled array.
Ref new_zeros(int nd, const npy_intp* dims, int typenum = NPY_DOUBLE);
inline double* array_data(const Ref& a) {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}

Ref vector_to_pyarray(const DVector& v);
Ref dmatrix_to_pyarray(const DMatrix& m);

/// Shape (d0, d1[, d2]) of a stack of matrices, checked for overflow:
/// RuntimeError "failed to build numpy matrix shape".
void check_shape_fits(std::initializer_list<Index> dims);

}  // namespace vexel::py
