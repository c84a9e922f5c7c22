// Copying accepted arrays into owned values (see array_convert.hpp).
#include "array_convert.hpp"

#include "errors.hpp"
#include "finite_checks.hpp"

#include <cstdint>
#include <cstring>

namespace vexel::py {

DVector pyarray1_to_dvector(const ArrayIn& a, Index n, const std::string& name) {
  const npy_intp len = a.dim(0);
  if (len != n) {
    fail(Error::value(name + " must have length " + std::to_string(n) + ", got " + std::to_string(len)));
  }
  if (len >= 2 && a.stride(0) != static_cast<npy_intp>(sizeof(double))) {
    fail(Error::type("The given array is not contiguous"));
  }
  DVector v(n);
  if (n > 0) std::memcpy(v.data(), a.data(), static_cast<std::size_t>(n) * sizeof(double));
  return v;
}

DMatrix pyarray2_to_dmatrix(const ArrayIn& a, Index r, Index c, const std::string& name) {
  const npy_intp rows = a.dim(0);
  const npy_intp cols = a.dim(1);
  if (rows != r || cols != c) {
    fail(Error::value(name + " must have shape (" + std::to_string(r) + ", " + std::to_string(c) + "), got (" +
                      std::to_string(rows) + ", " + std::to_string(cols) + ")"));
  }
  DMatrix m(r, c);
  if (m.size() == 0) return m;
  const npy_intp s0 = a.stride(0);
  const npy_intp s1 = a.stride(1);
  constexpr npy_intp kItem = sizeof(double);
  const bool aligned = reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) == 0;
  if (aligned && s1 == kItem && s0 == c * kItem) {
    // C order: one transposing copy.
    m = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
        reinterpret_cast<const double*>(a.data()), r, c);
  } else if (s0 == kItem && s1 == r * kItem) {
    std::memcpy(m.data(), a.data(), static_cast<std::size_t>(m.size()) * sizeof(double));
  } else {
    const char* base = a.data();
    for (Index i = 0; i < r; ++i) {
      for (Index j = 0; j < c; ++j) {
        m.coeffRef(i, j) = load_double(base + i * s0 + j * s1);
      }
    }
  }
  return m;
}

DVector extract_vector(PyObject* obj, Index n, const std::string& name) {
  ArrayIn a = accept_array(obj, 1);
  return pyarray1_to_dvector(a, n, name);
}

DMatrix extract_matrix(PyObject* obj, Index r, Index c, const std::string& name) {
  ArrayIn a = accept_array(obj, 2);
  return pyarray2_to_dmatrix(a, r, c, name);
}

DVector finite_vector(PyObject* obj, Index n, const std::string& name) {
  DVector v = extract_vector(obj, n, name);
  require_finite(v, name);
  return v;
}

DMatrix finite_matrix(PyObject* obj, Index r, Index c, const std::string& name) {
  DMatrix m = extract_matrix(obj, r, c, name);
  require_finite(m, name);
  return m;
}

/// Copies a 1-D, 2-D or 3-D array into a C-ordered buffer, any strides.
void copy_c_order(const ArrayIn& a, double* out) {
  npy_intp total = 1;
  for (int i = 0; i < a.ndim(); ++i) total *= a.dim(i);
  if (total == 0) return;
  if (PyArray_IS_C_CONTIGUOUS(a.array())) {
    std::memcpy(out, a.data(), static_cast<std::size_t>(total) * sizeof(double));
    return;
  }
  const int nd = a.ndim();
  const npy_intp d1 = nd > 1 ? a.dim(1) : 1;
  const npy_intp d2 = nd > 2 ? a.dim(2) : 1;
  for (npy_intp i = 0; i < a.dim(0); ++i) {
    for (npy_intp j = 0; j < d1; ++j) {
      for (npy_intp k = 0; k < d2; ++k) {
        *out++ = nd == 1 ? a.at(i) : nd == 2 ? a.at(i, j) : a.at(i, j, k);
      }
    }
  }
}

batch::StridedArray view_of(const ArrayIn& a) {
  batch::StridedArray v;
  v.data = a.data();
  v.ndim = a.ndim();
  for (int i = 0; i < v.ndim; ++i) {
    v.dims[i] = static_cast<Index>(a.dim(i));
    v.strides[i] = static_cast<std::ptrdiff_t>(a.stride(i));
  }
  v.c_contiguous = PyArray_IS_C_CONTIGUOUS(a.array());
  return v;
}

}  // namespace vexel::py
