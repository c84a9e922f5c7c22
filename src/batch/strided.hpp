// Read-only strided views of caller memory for the batch routines.
//
// The binding layer describes each (read-borrowed) input array by its data
// pointer, extents and byte strides; the numerical code reads elements
// through the strides, with a plain index fast path for C-ordered data.  No
// Python header is needed here.
#pragma once

#include "../kernels/linalg.hpp"

#include <cstddef>
#include <cstdint>

// The loads of a step's inputs sit in the innermost loops of the batch
// routines; a call per load costs more than the load.
#define VEXEL_HOT_INLINE inline __attribute__((always_inline))

namespace vexel::batch {

struct StridedArray {
  const char* data = nullptr;
  int ndim = 0;
  Index dims[4] = {0, 0, 0, 0};
  std::ptrdiff_t strides[4] = {0, 0, 0, 0};
  /// True when the elements lie in row-major order without gaps, so that
  /// element (i, j, k) sits at index (i * dims[1] + j) * dims[2] + k.
  bool c_contiguous = false;

  /// Element at a flat index of C-ordered data.
  double flat(Index i) const { return load_double(data + i * static_cast<Index>(sizeof(double))); }
  double at(Index i) const { return load_double(data + i * strides[0]); }
  double at(Index i, Index j) const { return load_double(data + i * strides[0] + j * strides[1]); }
  double at(Index i, Index j, Index k) const {
    return load_double(data + i * strides[0] + j * strides[1] + k * strides[2]);
  }
};

/// out(i, j) = a[i, j] for a 2-D view of out's shape.
template <class Mat>
inline void load_matrix(const StridedArray& a, Mat& out) {
  const Index r = out.rows();
  const Index c = out.cols();
  if (a.c_contiguous) {
    for (Index i = 0; i < r; ++i)
      for (Index j = 0; j < c; ++j) out.coeffRef(i, j) = a.flat(i * c + j);
  } else {
    for (Index i = 0; i < r; ++i)
      for (Index j = 0; j < c; ++j) out.coeffRef(i, j) = a.at(i, j);
  }
}

/// out(i, j) = a[k, i, j] for slice k of a 3-D view whose trailing extents
/// are out's shape.
template <class Mat>
VEXEL_HOT_INLINE void load_slice(const StridedArray& a, Index k, Mat& out) {
  const Index r = out.rows();
  const Index c = out.cols();
  if constexpr (Mat::RowsAtCompileTime != Eigen::Dynamic && Mat::ColsAtCompileTime != Eigen::Dynamic) {
    // A fixed-size slice of C-ordered memory, moved as one row-major block.
    // Only from memory aligned for double: NumPy arrays can sit at any byte
    // offset (a buffer received over the network, a record field), and a
    // double read there takes the byte-wise loads below.
    if (a.c_contiguous && reinterpret_cast<std::uintptr_t>(a.data) % alignof(double) == 0) {
      using RowMajor = Eigen::Matrix<double, Mat::RowsAtCompileTime, Mat::ColsAtCompileTime,
                                     Mat::ColsAtCompileTime == 1 ? Eigen::ColMajor : Eigen::RowMajor>;
      out = Eigen::Map<const RowMajor, Eigen::Unaligned>(reinterpret_cast<const double*>(a.data) + k * r * c);
      return;
    }
  }
  if (a.c_contiguous) {
    const Index start = k * r * c;
    for (Index i = 0; i < r; ++i)
      for (Index j = 0; j < c; ++j) out.coeffRef(i, j) = a.flat(start + i * c + j);
  } else {
    const char* base = a.data + k * a.strides[0];
    const std::ptrdiff_t s1 = a.strides[1];
    const std::ptrdiff_t s2 = a.strides[2];
    for (Index i = 0; i < r; ++i)
      for (Index j = 0; j < c; ++j) out.coeffRef(i, j) = load_double(base + i * s1 + j * s2);
  }
}

/// out(j) = a[k, j] for row k of a 2-D view whose second extent is out's length.
template <class Vec>
VEXEL_HOT_INLINE void load_row(const StridedArray& a, Index k, Vec& out) {
  const Index c = out.size();
  if (a.c_contiguous) {
    const Index start = k * c;
    for (Index j = 0; j < c; ++j) out.coeffRef(j) = a.flat(start + j);
  } else {
    for (Index j = 0; j < c; ++j) out.coeffRef(j) = a.at(k, j);
  }
}

}  // namespace vexel::batch
