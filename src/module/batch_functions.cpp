// The batch functions: argument conversion and validation with the exact
// messages, then the numerical routines of src/batch.
#include "batch_functions.hpp"
#include "module_init.hpp"

#include "bridge.hpp"

#include "../batch/batch_routines.hpp"
#include "../batch/filter_bank.hpp"
#include "../batch/worker_pool.hpp"
#include "../kernels/storage.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace vexel::py {

namespace {

std::string num(npy_intp v) { return std::to_string(v); }

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

Ref tuple_of(std::initializer_list<Ref*> items) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!t) fail_python();
  Py_ssize_t i = 0;
  for (Ref* item : items) {
    if (PyTuple_SetItem(t.get(), i++, item->release()) < 0) fail_python();  // steals
  }
  return t;
}

bool shape3_is(const ArrayIn& a, npy_intp d0, npy_intp d1, npy_intp d2) {
  return a.dim(0) == d0 && a.dim(1) == d1 && a.dim(2) == d2;
}

std::string shape3_text(npy_intp d0, npy_intp d1, npy_intp d2) {
  return "(" + num(d0) + ", " + num(d1) + ", " + num(d2) + ")";
}

std::string actual_shape3(const ArrayIn& a) { return shape3_text(a.dim(0), a.dim(1), a.dim(2)); }

/// (rows, cols) of one matrix for check_storage; every extent passed here is
/// a product of extents of an existing array, so it fits.
std::pair<std::uint64_t, std::uint64_t> shape(npy_intp rows, npy_intp cols) {
  return {static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(cols)};
}

bool all_finite_1d(const ArrayIn& a) {
  for (npy_intp i = 0; i < a.dim(0); ++i) {
    if (!is_finite(a.at(i))) return false;
  }
  return true;
}

bool all_finite_2d(const ArrayIn& a) {
  for (npy_intp i = 0; i < a.dim(0); ++i) {
    for (npy_intp j = 0; j < a.dim(1); ++j) {
      if (!is_finite(a.at(i, j))) return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// rts_smooth

constexpr Params kRtsSmooth{"rts_smooth()", 4, 4, {"xs", "ps", "fs", "qs"}};

/// fs/qs: leading length N or N-1, trailing (dim_x, dim_x).
void check_transition_stack(const ArrayIn& a, npy_intp steps, npy_intp dim_x, const char* name) {
  const bool lead_ok = a.dim(0) == steps || a.dim(0) == steps - 1;
  if (!lead_ok || a.dim(1) != dim_x || a.dim(2) != dim_x) {
    fail(Error::value(std::string(name) + " must have shape (N, " + num(dim_x) + ", " + num(dim_x) + ") or (N-1, " +
                      num(dim_x) + ", " + num(dim_x) + "); got " + actual_shape3(a)));
  }
}

Ref rts_smooth_body(PyObject* const* args) {
  const ArrayIn xs = arg_array(args[0], 2, "xs");
  const ArrayIn ps = arg_array(args[1], 3, "ps");
  const ArrayIn fs = arg_array(args[2], 3, "fs");
  const ArrayIn qs = arg_array(args[3], 3, "qs");
  const npy_intp steps = xs.dim(0);
  const npy_intp dim_x = xs.dim(1);
  if (steps == 0) fail(Error::value("xs must contain at least one filtered state"));
  if (dim_x == 0) fail(Error::value("xs second dimension must be positive"));
  if (!shape3_is(ps, steps, dim_x, dim_x)) {
    fail(Error::value("Ps must have shape " + shape3_text(steps, dim_x, dim_x) + ", got " + actual_shape3(ps)));
  }
  check_transition_stack(fs, steps, dim_x, "Fs");
  check_transition_stack(qs, steps, dim_x, "Qs");

  check_shape_fits({steps, dim_x, dim_x});
  unwrap(check_storage({shape(steps, dim_x), shape(steps, dim_x * dim_x), shape(dim_x, dim_x)}));
  const npy_intp xdims[2] = {steps, dim_x};
  const npy_intp pdims[3] = {steps, dim_x, dim_x};
  Ref xs_out = new_zeros(2, xdims);
  Ref ps_out = new_zeros(3, pdims);
  const batch::SmootherInputs in{view_of(xs), view_of(ps), view_of(fs), view_of(qs)};
  const batch::SmootherOutputs out{array_data(xs_out), array_data(ps_out)};
  unwrap(batch::run_rts_smoother(in, out));
  return tuple_of({&xs_out, &ps_out});
}

constexpr const char kRtsSmoothDoc[] =
    "rts_smooth(xs, ps, fs, qs)\n--\n\n"
    "Rauch-Tung-Striebel fixed-interval smoother.\n"
    "\n"
    "Inputs:\n"
    "  xs: (N, dim_x) -- filtered means\n"
    "  ps: (N, dim_x, dim_x) -- filtered covariances\n"
    "  fs: (N, dim_x, dim_x) or (N-1, dim_x, dim_x) -- per-step transitions\n"
    "  qs: (N, dim_x, dim_x) or (N-1, dim_x, dim_x) -- per-step process noise\n"
    "\n"
    "With length N (FilterPy and batch_filter_linear convention), entry k is\n"
    "the k-1 -> k transition: the k -> k+1 step uses fs[k+1] / qs[k+1] and\n"
    "entry 0 is unused. With length N-1, entry k is the k -> k+1 transition.\n"
    "fs and qs are each read by their own length.\n"
    "\n"
    "Returns (xs_smooth, Ps_smooth) of the same shapes as (xs, ps). The\n"
    "inverse of the one-step-predicted covariance uses the same\n"
    "Cholesky-with-fallback path as the filter's innovation inversion.";

// ---------------------------------------------------------------------------
// batch_filter_linear

constexpr Params kBatchFilterLinear{"batch_filter_linear()", 7, 7, {"x0", "p0", "zs", "fs", "hs", "qs", "rs"}};

void check_stack_shape(const ArrayIn& a, npy_intp d0, npy_intp d1, npy_intp d2, const char* name) {
  if (!shape3_is(a, d0, d1, d2)) {
    fail(Error::value(std::string(name) + " must have shape " + shape3_text(d0, d1, d2) + "; got " +
                      actual_shape3(a)));
  }
}

void check_stack_finite(const ArrayIn& a, const char* name) {
  if (const auto step = first_non_finite_step(a)) {
    fail(Error::value(std::string(name) + " contains non-finite values (NaN or inf) at step " + num(*step)));
  }
}

Ref batch_filter_linear_body(PyObject* const* args) {
  const ArrayIn x0 = arg_array(args[0], 1, "x0");
  const ArrayIn p0 = arg_array(args[1], 2, "p0");
  const ArrayIn zs = arg_array(args[2], 2, "zs");
  const ArrayIn fs = arg_array(args[3], 3, "fs");
  const ArrayIn hs = arg_array(args[4], 3, "hs");
  const ArrayIn qs = arg_array(args[5], 3, "qs");
  const ArrayIn rs = arg_array(args[6], 3, "rs");
  const npy_intp dim_x = x0.dim(0);
  const npy_intp steps = zs.dim(0);
  const npy_intp dim_z = zs.dim(1);
  // Shapes first, then finiteness, each in argument order.
  if (dim_x == 0) fail(Error::value("x0 must have at least one dimension"));
  if (steps == 0) fail(Error::value("zs must contain at least one observation"));
  if (p0.dim(0) != dim_x || p0.dim(1) != dim_x) {
    fail(Error::value("P0 must have shape (" + num(dim_x) + ", " + num(dim_x) + "); got (" + num(p0.dim(0)) + ", " +
                      num(p0.dim(1)) + ")"));
  }
  check_stack_shape(fs, steps, dim_x, dim_x, "Fs");
  check_stack_shape(hs, steps, dim_z, dim_x, "Hs");
  check_stack_shape(qs, steps, dim_x, dim_x, "Qs");
  check_stack_shape(rs, steps, dim_z, dim_z, "Rs");
  // Refuse what cannot fit in memory before scanning inputs that may be
  // huge broadcast views.
  check_shape_fits({steps, dim_x, dim_x});
  unwrap(check_storage({shape(steps, dim_x), shape(steps, dim_x * dim_x), shape(steps, 1), shape(dim_z, dim_z),
                        shape(dim_z, dim_x), shape(dim_x, dim_x)}));
  if (!all_finite_1d(x0)) fail(Error::value("x0 contains non-finite values (NaN or inf)"));
  if (!all_finite_2d(p0)) fail(Error::value("P0 contains non-finite values (NaN or inf)"));
  if (const auto step = first_non_finite_step(zs)) {
    fail(Error::value("zs[" + num(*step) +
                      "] contains non-finite values (NaN or inf). batch_filter does not support missing "
                      "measurements yet; use VexelCKF.run(..., nan_means_missing=True), which skips all-NaN rows"));
  }
  check_stack_finite(fs, "F");
  check_stack_finite(hs, "H");
  check_stack_finite(qs, "Q");
  check_stack_finite(rs, "R");

  const npy_intp xdims[2] = {steps, dim_x};
  const npy_intp pdims[3] = {steps, dim_x, dim_x};
  const npy_intp ldims[1] = {steps};
  Ref xs_out = new_zeros(2, xdims);
  Ref ps_out = new_zeros(3, pdims);
  Ref ll_out = new_zeros(1, ldims);
  const batch::LinearFilterInputs in{view_of(x0), view_of(p0), view_of(zs), view_of(fs),
                                     view_of(hs), view_of(qs), view_of(rs)};
  const batch::LinearFilterOutputs out{array_data(xs_out), array_data(ps_out), array_data(ll_out)};
  unwrap(batch::run_linear_filter(in, out));
  return tuple_of({&xs_out, &ps_out, &ll_out});
}

constexpr const char kBatchFilterLinearDoc[] =
    "batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)\n--\n\n"
    "Linear Kalman batch filter: a single pass over an observation sequence,\n"
    "with all state and matrices held in native code.\n"
    "\n"
    "Inputs (all already broadcast to length N by the Python wrapper):\n"
    "  x0: (dim_x,)\n"
    "  p0: (dim_x, dim_x)\n"
    "  zs: (N, dim_z)\n"
    "  fs: (N, dim_x, dim_x) -- F_k for the predict step k-1 -> k\n"
    "  hs: (N, dim_z, dim_x) -- H_k for the linear measurement at step k\n"
    "  qs: (N, dim_x, dim_x)\n"
    "  rs: (N, dim_z, dim_z)\n"
    "\n"
    "Returns (xs, Ps, log_likelihoods) with shapes (N, dim_x),\n"
    "(N, dim_x, dim_x), (N,). The output (xs, Ps) is directly consumable by\n"
    "rts_smooth; no extra reshape needed.\n"
    "\n"
    "Posterior update uses Joseph form\n"
    "(P = (I - K H) P (I - K H)^T + K R K^T) to keep P PSD over long runs.";

// ---------------------------------------------------------------------------
// batch_parallel_step

constexpr Params kBatchParallelStep{"batch_parallel_step()", 7, 7, {"xs", "ps", "zs", "f", "h", "q", "r"}};

void check_shared_shape(const ArrayIn& a, npy_intp r, npy_intp c, const char* name) {
  if (a.dim(0) != r || a.dim(1) != c) {
    fail(Error::value(std::string(name) + " must have shape (" + num(r) + ", " + num(c) + "); got (" +
                      num(a.dim(0)) + ", " + num(a.dim(1)) + ")"));
  }
}

/// Owned scratch memory of the filter bank, outside NumPy.  Large buffers
/// are anonymous mappings (on huge pages where the kernel offers them: far
/// fewer page faults while the inputs are copied in) whose front can be
/// handed back to the system while the results are copied out, so that a
/// buffer and the output array it fills are never both resident in full.
/// Small buffers come from malloc.
class BankBuffer {
 public:
  explicit BankBuffer(std::size_t bytes) : bytes_(bytes) {
    if (bytes >= kMapThreshold) {
      void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
      madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
      base_ = static_cast<char*>(p);
      mapped_ = true;
    } else {
      base_ = static_cast<char*>(std::malloc(bytes == 0 ? 1 : bytes));
      if (base_ == nullptr) throw std::bad_alloc();
    }
  }
  BankBuffer(const BankBuffer&) = delete;
  BankBuffer& operator=(const BankBuffer&) = delete;
  ~BankBuffer() { release(); }

  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(base_);
  }
  std::size_t bytes() const { return bytes_; }

  /// Gives the whole pages below byte offset `end` back to the system; they
  /// must not be read again.
  void release_front(std::size_t end) {
    if (!mapped_) return;
    const std::size_t cut = end / page_size() * page_size();
    if (cut <= released_) return;
    munmap(base_ + released_, cut - released_);
    released_ = cut;
  }

  /// Frees the buffer now.
  void release() {
    if (base_ == nullptr) return;
    if (mapped_) {
      if (released_ < bytes_) munmap(base_ + released_, bytes_ - released_);
    } else {
      std::free(base_);
    }
    base_ = nullptr;
  }

 private:
  static constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
  static std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
  }

  char* base_ = nullptr;
  std::size_t bytes_ = 0;
  std::size_t released_ = 0;
  bool mapped_ = false;
};

/// A new NumPy-owned C-ordered array with the buffer's contents, copied in
/// slices after each of which the copied part of the buffer is released.
Ref copy_out(BankBuffer& buffer, int nd, const npy_intp* dims, int typenum) {
  Ref array = new_array(nd, dims, typenum);
  char* out = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  const char* in = buffer.as<const char>();
  constexpr std::size_t kSlice = std::size_t{4} << 20;
  const std::size_t total = buffer.bytes();
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = total - done < kSlice ? total - done : kSlice;
    std::memcpy(out + done, in + done, n);
    done += n;
    buffer.release_front(done);
  }
  buffer.release();
  return array;
}

/// Copies a 2-D or 3-D array into a C-ordered buffer.
void copy_c_order(const ArrayIn& a, double* out) {
  const int nd = a.ndim();
  const npy_intp d0 = a.dim(0);
  const npy_intp d1 = a.dim(1);
  const npy_intp d2 = nd == 3 ? a.dim(2) : 1;
  const npy_intp total = d0 * d1 * d2;
  if (total == 0) return;
  if (PyArray_IS_C_CONTIGUOUS(a.array())) {
    std::memcpy(out, a.data(), static_cast<std::size_t>(total) * sizeof(double));
    return;
  }
  for (npy_intp i = 0; i < d0; ++i) {
    for (npy_intp j = 0; j < d1; ++j) {
      for (npy_intp k = 0; k < d2; ++k) *out++ = nd == 3 ? a.at(i, j, k) : a.at(i, j);
    }
  }
}

/// Releases the interpreter lock for its lifetime (re-taken on every path).
/// Taking it back may end the thread (a forced unwind at interpreter
/// shutdown), so the destructor is allowed to throw; `without_lock` makes
/// sure it never runs while another exception is in flight.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockRelease() noexcept(false) {
    interpreter_call([&] { PyEval_RestoreThread(state_); });
  }
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

 private:
  PyThreadState* state_;
};

/// Runs the native `work` without the interpreter lock.  A failure of the
/// work is held until the lock is back, then rethrown.
template <class F>
void without_lock(F&& work) {
  std::exception_ptr failure;
  {
    InterpreterLockRelease unlocked;
    try {
      work();
    } catch (abi::__forced_unwind&) {
      throw;  // not raised by native work; never held
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

Ref bank_step_body(PyObject* const* args, bool gaps) {
  const ArrayIn xs = arg_array(args[0], 2, "xs");
  const ArrayIn ps = arg_array(args[1], 3, "ps");
  const ArrayIn zs = arg_array(args[2], 2, "zs");
  const ArrayIn f = arg_array(args[3], 2, "f");
  const ArrayIn h = arg_array(args[4], 2, "h");
  const ArrayIn q = arg_array(args[5], 2, "q");
  const ArrayIn r = arg_array(args[6], 2, "r");
  const npy_intp count = xs.dim(0);
  const npy_intp dim_x = xs.dim(1);
  const npy_intp dim_z = zs.dim(1);
  if (count == 0) fail(Error::value("xs must contain at least one filter"));
  if (dim_x == 0) fail(Error::value("dim_x must be positive"));
  if (zs.dim(0) != count) {
    fail(Error::value("zs must have leading dimension " + num(count) + "; got " + num(zs.dim(0))));
  }
  if (dim_z == 0) fail(Error::value("dim_z must be positive"));
  if (!shape3_is(ps, count, dim_x, dim_x)) {
    fail(Error::value("Ps must have shape " + shape3_text(count, dim_x, dim_x) + "; got " + actual_shape3(ps)));
  }
  check_shared_shape(f, dim_x, dim_x, "F");
  check_shared_shape(h, dim_z, dim_x, "H");
  check_shared_shape(q, dim_x, dim_x, "Q");
  check_shared_shape(r, dim_z, dim_z, "R");
  // Refuse (MemoryError) what cannot fit in memory before scanning the
  // shared matrices (possibly huge broadcast views) and instead of letting
  // an overcommitted allocation fail while it is being filled.
  check_shape_fits({count, dim_x, dim_x});
  check_shape_fits({count, dim_z});
  unwrap(check_storage({shape(count, dim_x), shape(count, dim_x * dim_x), shape(count, dim_z), shape(count, 2),
                        shape(dim_x, dim_x), shape(dim_z, dim_x), shape(dim_x, dim_x), shape(dim_z, dim_z)}));
  const std::pair<const ArrayIn*, const char*> shared[] = {{&f, "F"}, {&h, "H"}, {&q, "Q"}, {&r, "R"}};
  for (const auto& [array, name] : shared) {
    if (!all_finite_2d(*array)) {
      fail(Error::value(std::string(name) +
                        " contains non-finite values (NaN or inf); it is shared by every filter in the bank"));
    }
  }

  // The shared model and owned, C-ordered copies of every filter's data:
  // nothing of the caller's arrays is read once the lock is released.
  const batch::BankModel model{pyarray2_to_dmatrix(f, dim_x, dim_x, "F"), pyarray2_to_dmatrix(h, dim_z, dim_x, "H"),
                               pyarray2_to_dmatrix(q, dim_x, dim_x, "Q"), pyarray2_to_dmatrix(r, dim_z, dim_z, "R")};
  const auto ucount = static_cast<std::size_t>(count);
  const auto un = static_cast<std::size_t>(dim_x);
  const auto um = static_cast<std::size_t>(dim_z);
  BankBuffer x_buf(ucount * un * sizeof(double));
  BankBuffer p_buf(ucount * un * un * sizeof(double));
  BankBuffer z_buf(ucount * um * sizeof(double));
  BankBuffer ll_buf(ucount * sizeof(double));
  BankBuffer status_buf(ucount * sizeof(std::int64_t));
  copy_c_order(xs, x_buf.as<double>());
  copy_c_order(ps, p_buf.as<double>());
  copy_c_order(zs, z_buf.as<double>());
  batch::BankBuffers buffers;
  buffers.count = static_cast<Index>(count);
  buffers.dim_x = static_cast<Index>(dim_x);
  buffers.dim_z = static_cast<Index>(dim_z);
  buffers.x = x_buf.as<double>();
  buffers.p = p_buf.as<double>();
  buffers.z = z_buf.as<double>();
  buffers.log_likelihoods = ll_buf.as<double>();
  buffers.status = status_buf.as<std::int64_t>();
  buffers.gaps = gaps;

  batch::WorkerPool& pool = batch::WorkerPool::instance();
  without_lock([&] { batch::run_filter_bank(model, buffers, pool); });

  // Each filter wrote its result into its own input slot; the results move
  // into new NumPy-owned arrays, each buffer shrinking as its array fills.
  z_buf.release();
  const npy_intp xdims[2] = {count, dim_x};
  const npy_intp pdims[3] = {count, dim_x, dim_x};
  const npy_intp ldims[1] = {count};
  Ref xs_out = copy_out(x_buf, 2, xdims, NPY_DOUBLE);
  Ref ps_out = copy_out(p_buf, 3, pdims, NPY_DOUBLE);
  Ref ll_out = copy_out(ll_buf, 1, ldims, NPY_DOUBLE);
  Ref status_out = copy_out(status_buf, 1, ldims, NPY_INT64);
  return tuple_of({&xs_out, &ps_out, &ll_out, &status_out});
}

Ref batch_parallel_step_body(PyObject* const* args) { return bank_step_body(args, false); }

constexpr const char kBatchParallelStepDoc[] =
    "batch_parallel_step(xs, ps, zs, f, h, q, r)\n--\n\n"
    "Parallel batch step: M independent linear KFs sharing F, H, Q, R; each\n"
    "has its own (x_i, P_i) and a single observation z_i.\n"
    "\n"
    "Inputs:\n"
    "  xs: (M, dim_x)\n"
    "  ps: (M, dim_x, dim_x)\n"
    "  zs: (M, dim_z)\n"
    "  f:  (dim_x, dim_x)\n"
    "  h:  (dim_z, dim_x)\n"
    "  q:  (dim_x, dim_x)\n"
    "  r:  (dim_z, dim_z)\n"
    "\n"
    "Returns (xs_new, ps_new, log_likelihoods, status) with shapes\n"
    "(M, dim_x), (M, dim_x, dim_x), (M,), (M,). Status code per filter:\n"
    "  0 = ok, 1 = singular_innovation fallback, 2 = no update applied,\n"
    "  3 = non-finite x_i, P_i or z_i, update skipped.\n"
    "Raises ValueError when the shared F, H, Q or R holds a NaN or inf.";

constexpr int kKw = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"rts_smooth", as_cfunction(&function_entry<kRtsSmooth, rts_smooth_body>), kKw, kRtsSmoothDoc},
    {"batch_filter_linear", as_cfunction(&function_entry<kBatchFilterLinear, batch_filter_linear_body>), kKw,
     kBatchFilterLinearDoc},
    {"batch_parallel_step", as_cfunction(&function_entry<kBatchParallelStep, batch_parallel_step_body>), kKw,
     kBatchParallelStepDoc},
};

}  // namespace

Ref bank_step_with_gaps(PyObject* const* args) { return bank_step_body(args, true); }

Ref rts_smooth_function(PyObject* module) { return new_module_function(&kFunctions[0], module); }
Ref batch_filter_linear_function(PyObject* module) { return new_module_function(&kFunctions[1], module); }
Ref batch_parallel_step_function(PyObject* module) { return new_module_function(&kFunctions[2], module); }

}  // namespace vexel::py
