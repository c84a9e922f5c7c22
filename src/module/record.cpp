// Writing one row of the run() outputs (see record.hpp).
#include "record.hpp"

#include "../kit/kit.hpp"

#include <cstring>
#include <string>

namespace vexel::py {

namespace {

/// Writes into one output array through its strides, checking every index.
class RowWriter {
 public:
  RowWriter(PyArrayObject* a, int position)
      : a_(a), borrow_(ArrayBorrow::write(a, "out[" + std::to_string(position) + "]")) {}

  void put(std::uint64_t i, double v) { store_double(target(i, 0, 0, 1), v); }
  void put(std::uint64_t i, Index j, double v) { store_double(target(i, static_cast<std::uint64_t>(j), 0, 2), v); }
  void put(std::uint64_t i, Index j, Index k, double v) {
    store_double(target(i, static_cast<std::uint64_t>(j), static_cast<std::uint64_t>(k), 3), v);
  }

 private:
  char* target(std::uint64_t i, std::uint64_t j, std::uint64_t k, int nd) {
    const std::uint64_t idx[3] = {i, j, k};
    char* p = static_cast<char*>(PyArray_DATA(a_));
    for (int d = 0; d < nd; ++d) {
      const auto extent = static_cast<std::uint64_t>(PyArray_DIM(a_, d));
      if (idx[d] >= extent) {
        fail(Error::panic("index " + std::to_string(idx[d]) + " is out of bounds for axis " + std::to_string(d) +
                          " with size " + std::to_string(extent) + " in a run output array"));
      }
      p += static_cast<npy_intp>(idx[d]) * PyArray_STRIDE(a_, d);
    }
    return p;
  }

  PyArrayObject* a_;
  ArrayBorrow borrow_;
};

void write_vector(PyArrayObject* a, int position, std::uint64_t i, const DVector& v) {
  RowWriter w(a, position);
  for (Index j = 0; j < v.size(); ++j) w.put(i, j, v[j]);
}

void write_matrix(PyArrayObject* a, int position, std::uint64_t i, const DMatrix& m) {
  RowWriter w(a, position);
  for (Index r = 0; r < m.rows(); ++r) {
    for (Index c = 0; c < m.cols(); ++c) w.put(i, r, c, m.coeff(r, c));
  }
}

void write_scalar(PyArrayObject* a, int position, std::uint64_t i, double v) {
  RowWriter w(a, position);
  w.put(i, v);
}

}  // namespace

void record_row(std::uint64_t i, PyObject* out, const DVector& x_post, const DMatrix& P_post,
                const DVector& x_prior, const DMatrix& P_prior, double log_likelihood, double nis) {
  const Py_ssize_t len = PyTuple_Size(out);
  if (len < 0) fail_python();
  if (len != 6) {
    fail(Error::value("expected tuple of length 6, but got tuple of length " + std::to_string(len)));
  }
  static constexpr int kDims[6] = {2, 3, 2, 3, 1, 1};
  PyArrayObject* arrays[6];
  for (int k = 0; k < 6; ++k) arrays[k] = accept_array_unborrowed(PyTuple_GetItem(out, k), kDims[k]);

  // One write borrow at a time, released before the next array.
  write_vector(arrays[0], 0, i, x_post);
  write_matrix(arrays[1], 1, i, P_post);
  write_vector(arrays[2], 2, i, x_prior);
  write_matrix(arrays[3], 3, i, P_prior);
  write_scalar(arrays[4], 4, i, log_likelihood);
  write_scalar(arrays[5], 5, i, nis);
}

void RunRows::store(Index i, const DVector& x_post, const DMatrix& P_post, const DVector& x_prior,
                    const DMatrix& P_prior, double log_likelihood, double nis_value) const {
  auto put_vector = [&](double* dst, const DVector& v) {
    std::memcpy(dst + i * n, v.data(), sizeof(double) * static_cast<std::size_t>(n));
  };
  // Row-major out of column-major storage.
  auto put_matrix = [&](double* dst, const DMatrix& m) {
    double* row = dst + i * n * n;
    const double* col = m.data();
    for (Index r = 0; r < n; ++r) {
      for (Index c = 0; c < n; ++c) row[r * n + c] = col[c * n + r];
    }
  };
  if (xs != nullptr) put_vector(xs, x_post);
  if (Ps != nullptr) put_matrix(Ps, P_post);
  if (xs_prior != nullptr) put_vector(xs_prior, x_prior);
  if (Ps_prior != nullptr) put_matrix(Ps_prior, P_prior);
  if (log_likelihoods != nullptr) log_likelihoods[i] = log_likelihood;
  if (nis != nullptr) nis[i] = nis_value;
}

}  // namespace vexel::py
