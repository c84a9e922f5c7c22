// New NumPy arrays for results (see array_output.hpp).
#include "array_output.hpp"

#include <cstring>
#include <limits>

namespace vexel::py {

void check_shape_fits(std::initializer_list<Index> dims) {
  // The element count, and its size in bytes, must fit the signed size type.
  const auto limit = static_cast<unsigned long long>(std::numeric_limits<npy_intp>::max()) / sizeof(double);
  unsigned long long count = 1;
  for (Index d : dims) {
    if (d < 0) fail(Error::runtime("failed to build numpy matrix shape"));
    const auto ud = static_cast<unsigned long long>(d);
    if (ud != 0 && count > limit / ud) fail(Error::runtime("failed to build numpy matrix shape"));
    count *= ud;
  }
}

Ref new_array(int nd, const npy_intp* dims, int typenum) {
  if (!ensure_numpy()) fail_python();
  Ref a = Ref::steal(PyArray_SimpleNew(nd, const_cast<npy_intp*>(dims), typenum));
  if (!a) fail_python();
  return a;
}

Ref new_zeros(int nd, const npy_intp* dims, int typenum) {
  if (!ensure_numpy()) fail_python();
  Ref a = Ref::steal(PyArray_ZEROS(nd, const_cast<npy_intp*>(dims), typenum, 0));
  if (!a) fail_python();
  return a;
}

Ref vector_to_pyarray(const DVector& v) {
  const npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
  Ref a = new_array(1, dims);
  if (v.size() > 0) std::memcpy(array_data(a), v.data(), static_cast<std::size_t>(v.size()) * sizeof(double));
  return a;
}

Ref dmatrix_to_pyarray(const DMatrix& m) {
  check_shape_fits({m.rows(), m.cols()});
  const npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
  Ref a = new_array(2, dims);
  if (m.size() > 0) {
    Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(array_data(a), m.rows(),
                                                                                     m.cols()) = m;
  }
  return a;
}

}  // namespace vexel::py
