// The array bridge: the one way NumPy arrays become owned DVector/DMatrix
// values and back, with the shape, contiguity and finiteness checks and their
// messages.  After a conversion no NumPy memory is referenced.
//
// Every read of NumPy memory holds a read borrow in a process-wide registry,
// every write (the run-output rows) a write borrow; a write excludes any other
// borrow of overlapping memory, so native code never writes memory that it is
// reading elsewhere (for example while the worker pool runs without the
// interpreter lock).
#pragma once

#include "frame.hpp"
#include "numpy_api.hpp"

#include "../kernels/linalg.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace vexel::py {

// ---------------------------------------------------------------------------
// Borrow registry

/// Memory extent of an array's elements: [lo, hi), empty when it holds none.
struct Extent {
  std::uintptr_t lo = 0;
  std::uintptr_t hi = 0;
  bool empty() const { return lo == hi; }
};
Extent array_extent(PyArrayObject* a);

class ArrayBorrow {
 public:
  ArrayBorrow() = default;
  /// Read borrow of the argument `name` (a literal, or nullptr when the
  /// array is no argument); refused (PanicException) only while overlapping
  /// memory is write-borrowed, which no caller can arrange.
  static ArrayBorrow read(PyArrayObject* a, const char* name = nullptr);
  /// Write borrow of the output `name`; refused for a read-only array
  /// (PanicException) and while any overlapping memory is borrowed: that
  /// conflict comes from the caller (a callback or another thread writing
  /// into arrays that a running call reads), so it is a RuntimeError naming
  /// both arrays.
  static ArrayBorrow write(PyArrayObject* a, const std::string& name);
  ArrayBorrow(ArrayBorrow&& o) noexcept : id_(o.id_) { o.id_ = 0; }
  ArrayBorrow& operator=(ArrayBorrow&& o) noexcept;
  ArrayBorrow(const ArrayBorrow&) = delete;
  ArrayBorrow& operator=(const ArrayBorrow&) = delete;
  ~ArrayBorrow() { release(); }
  void release();

 private:
  explicit ArrayBorrow(std::uint64_t id) : id_(id) {}
  std::uint64_t id_ = 0;  // 0: nothing held
};

// ---------------------------------------------------------------------------
// Accepted arrays

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

/// Copy an accepted 1-D array of length n (length, then contiguity checks).
DVector pyarray1_to_dvector(const ArrayIn& a, Index n, const std::string& name);
/// Copy an accepted 2-D array of shape (r, c); any memory layout.
DMatrix pyarray2_to_dmatrix(const ArrayIn& a, Index r, Index c, const std::string& name);

DVector extract_vector(PyObject* obj, Index n, const std::string& name);
DMatrix extract_matrix(PyObject* obj, Index r, Index c, const std::string& name);
DVector finite_vector(PyObject* obj, Index n, const std::string& name);
DMatrix finite_matrix(PyObject* obj, Index r, Index c, const std::string& name);

/// ValueError "<name> must contain only finite values" at the first
/// non-finite value.
void require_finite(const double* values, Index count, const std::string& name);
inline void require_finite(const DVector& v, const std::string& name) { require_finite(v.data(), v.size(), name); }
inline void require_finite(const DMatrix& m, const std::string& name) { require_finite(m.data(), m.size(), name); }
/// The measurement check, naming every value of z in the message.
void require_finite_measurement(const DVector& z);

/// "[1.0, NaN, -inf, 1e-5]": shortest round-trip decimal of each value.
std::string format_value_list(const double* values, Index count);
std::string format_double(double v);

/// Smallest index along the first axis of a 2-D or 3-D array whose
/// sub-array holds a NaN or infinity; nullopt when every value is finite.
std::optional<npy_intp> first_non_finite_step(const ArrayIn& a);

inline bool is_finite(double v) {
  // Exponent bits not all ones: excludes NaN and both infinities, keeps
  // zeros and subnormals.
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7ff0000000000000ULL) != 0x7ff0000000000000ULL;
}

// ---------------------------------------------------------------------------
// Outputs: new, C-contiguous, owning arrays.

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
