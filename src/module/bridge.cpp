#include "bridge.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include <pthread.h>

namespace vexel::py {

// ---------------------------------------------------------------------------
// Borrow registry

namespace {

struct BorrowEntry {
  std::uint64_t id;
  Extent extent;
  bool write;
  const char* name;  // argument name of a read borrow, or nullptr
};

// All entry points run with the interpreter lock held; the mutex keeps the
// registry sound even for a caller that does not (it is never contended).
std::mutex g_registry_mutex;
std::vector<BorrowEntry> g_borrows;
std::uint64_t g_next_id = 1;

bool overlaps(const Extent& a, const Extent& b) { return a.lo < b.hi && b.lo < a.hi; }

/// Runs in the child right after fork(): only the forking thread exists
/// there, so the borrows of every other thread (for example one inside
/// batch_parallel_step) would never be released, and the registry lock may
/// be held forever.  The old registry is abandoned (its storage may be in
/// the middle of a change) and the child starts with an empty one.
void reset_registry_in_child() {
  new (&g_registry_mutex) std::mutex();
  new (&g_borrows) std::vector<BorrowEntry>();
}

// Registered once, when the extension is loaded.
const bool g_registry_fork_handler = pthread_atfork(nullptr, nullptr, &reset_registry_in_child) == 0;

}  // namespace

Extent array_extent(PyArrayObject* a) {
  const int nd = PyArray_NDIM(a);
  const npy_intp* dims = PyArray_DIMS(a);
  const npy_intp* strides = PyArray_STRIDES(a);
  std::intptr_t lo = 0;
  std::intptr_t hi = 0;
  for (int i = 0; i < nd; ++i) {
    if (dims[i] == 0) return Extent{};
    const std::intptr_t span = (dims[i] - 1) * strides[i];
    if (span < 0)
      lo += span;
    else
      hi += span;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
  const auto item = static_cast<std::uintptr_t>(PyArray_ITEMSIZE(a));
  return Extent{base + static_cast<std::uintptr_t>(lo), base + static_cast<std::uintptr_t>(hi) + item};
}

ArrayBorrow ArrayBorrow::read(PyArrayObject* a, const char* name) {
  const Extent ext = array_extent(a);
  if (ext.empty()) return ArrayBorrow();
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  for (const BorrowEntry& e : g_borrows) {
    if (e.write && overlaps(e.extent, ext)) fail(Error::panic("array is mutably borrowed by native code"));
  }
  const std::uint64_t id = g_next_id++;
  g_borrows.push_back(BorrowEntry{id, ext, false, name});
  return ArrayBorrow(id);
}

ArrayBorrow ArrayBorrow::write(PyArrayObject* a, const std::string& name) {
  if (!PyArray_ISWRITEABLE(a)) fail(Error::panic("output array is not writeable"));
  const Extent ext = array_extent(a);
  if (ext.empty()) return ArrayBorrow();
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  for (const BorrowEntry& e : g_borrows) {
    if (overlaps(e.extent, ext)) {
      const std::string other = e.name != nullptr ? "argument '" + std::string(e.name) + "'" : "an array";
      fail(Error::runtime(name + " shares memory with " + other + ", which native code is still reading"));
    }
  }
  const std::uint64_t id = g_next_id++;
  g_borrows.push_back(BorrowEntry{id, ext, true, nullptr});
  return ArrayBorrow(id);
}

ArrayBorrow& ArrayBorrow::operator=(ArrayBorrow&& o) noexcept {
  if (this != &o) {
    release();
    id_ = o.id_;
    o.id_ = 0;
  }
  return *this;
}

void ArrayBorrow::release() {
  if (id_ == 0) return;
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  // Borrows are almost always released in reverse order: search from the back.
  for (auto it = g_borrows.rbegin(); it != g_borrows.rend(); ++it) {
    if (it->id == id_) {
      g_borrows.erase(std::next(it).base());
      break;
    }
  }
  id_ = 0;
}

// ---------------------------------------------------------------------------
// Acceptance

namespace {

PyArray_Descr* float64_descr() {
  static PyArray_Descr* descr = nullptr;
  if (descr == nullptr) descr = PyArray_DescrFromType(NPY_DOUBLE);  // kept for the process
  return descr;
}

}  // namespace

PyArrayObject* accept_array_unborrowed(PyObject* obj, int ndim) {
  if (!ensure_numpy()) fail_python();
  if (!PyArray_Check(obj)) {
    fail(Error::type("'" + type_name(obj) + "' object cannot be converted to 'ndarray'"));
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  const int nd = PyArray_NDIM(arr);
  if (nd != ndim) {
    fail(Error::type("dimensionality mismatch:\n from=" + std::to_string(nd) + ", to=" + std::to_string(ndim)));
  }
  PyArray_Descr* descr = PyArray_DESCR(arr);
  if (!PyArray_EquivTypes(descr, float64_descr())) {
    fail(Error::type("type mismatch:\n from=" + str_of(reinterpret_cast<PyObject*>(descr)) + ", to=float64"));
  }
  return arr;
}

ArrayIn accept_array(PyObject* obj, int ndim, const char* name) {
  PyArrayObject* arr = accept_array_unborrowed(obj, ndim);
  ArrayIn in;
  in.borrow_ = ArrayBorrow::read(arr, name);
  in.ref_ = Ref::borrow(obj);
  return in;
}

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

void require_finite(const double* values, Index count, const std::string& name) {
  for (Index i = 0; i < count; ++i) {
    if (!is_finite(values[i])) fail(Error::value(name + " must contain only finite values"));
  }
}

void require_finite_measurement(const DVector& z) {
  for (Index i = 0; i < z.size(); ++i) {
    if (!is_finite(z[i])) {
      fail(Error::value("z contains non-finite values: " + format_value_list(z.data(), z.size()) +
                        ". A NaN/inf measurement would silently corrupt the filter state. For a missed "
                        "measurement skip this update; update() also accepts z=None, which skips the step "
                        "and clears the innovation diagnostics."));
    }
  }
}

std::string format_double(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
  char buf[64];
  const double mag = std::fabs(v);
  if (mag >= 1e-4 && mag < 1e16) {
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    std::string s(buf, res.ptr);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
  }
  // Shortest mantissa, exponent without plus sign or leading zeros.
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string s(buf, res.ptr);
  const std::size_t e = s.find('e');
  std::string mantissa = s.substr(0, e);
  std::string exponent = s.substr(e + 1);
  bool negative = false;
  std::size_t k = 0;
  if (k < exponent.size() && (exponent[k] == '+' || exponent[k] == '-')) {
    negative = exponent[k] == '-';
    ++k;
  }
  while (k + 1 < exponent.size() && exponent[k] == '0') ++k;
  return mantissa + "e" + (negative ? "-" : "") + exponent.substr(k);
}

std::string format_value_list(const double* values, Index count) {
  std::string out = "[";
  for (Index i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += format_double(values[i]);
  }
  out += "]";
  return out;
}

std::optional<npy_intp> first_non_finite_step(const ArrayIn& a) {
  const int nd = a.ndim();
  const npy_intp steps = a.dim(0);
  const npy_intp d1 = a.dim(1);
  const npy_intp d2 = nd == 3 ? a.dim(2) : 1;
  const npy_intp per_step = d1 * d2;
  if (steps == 0 || per_step == 0) return std::nullopt;
  // Fast path for C-contiguous data: one linear scan, the step follows from
  // the offset of the first bad value.
  if (PyArray_IS_C_CONTIGUOUS(a.array())) {
    const char* p = a.data();
    const npy_intp total = steps * per_step;
    for (npy_intp i = 0; i < total; ++i) {
      if (!is_finite(load_double(p + i * static_cast<npy_intp>(sizeof(double))))) return i / per_step;
    }
    return std::nullopt;
  }
  for (npy_intp s = 0; s < steps; ++s) {
    for (npy_intp i = 0; i < d1; ++i) {
      for (npy_intp j = 0; j < d2; ++j) {
        const double v = nd == 3 ? a.at(s, i, j) : a.at(s, i);
        if (!is_finite(v)) return s;
      }
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Outputs

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
