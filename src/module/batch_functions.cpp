// The batch functions: argument conversion and validation with the exact
// messages, then the numerical routines of src/batch.
#include "batch_functions.hpp"
#include "batch_docs.hpp"

#include "../kit/kit.hpp"

#include "../batch/batch_routines.hpp"
#include "../batch/filter_bank.hpp"
#include "../batch/worker_pool.hpp"
#include "../kernels/storage.hpp"

#include <cstdint>
#include <string>
#include <utility>

namespace vexel::py {

namespace {

std::string num(npy_intp v) { return std::to_string(v); }

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
  if (!all_finite(x0)) fail(Error::value("x0 contains non-finite values (NaN or inf)"));
  if (!all_finite(p0)) fail(Error::value("P0 contains non-finite values (NaN or inf)"));
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

// ---------------------------------------------------------------------------
// batch_parallel_step

constexpr Params kBatchParallelStep{"batch_parallel_step()", 7, 7, {"xs", "ps", "zs", "f", "h", "q", "r"}};

void check_shared_shape(const ArrayIn& a, npy_intp r, npy_intp c, const char* name) {
  if (a.dim(0) != r || a.dim(1) != c) {
    fail(Error::value(std::string(name) + " must have shape (" + num(r) + ", " + num(c) + "); got (" +
                      num(a.dim(0)) + ", " + num(a.dim(1)) + ")"));
  }
}

Ref batch_parallel_step_body(PyObject* const* args) {
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
    if (!all_finite(*array)) {
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
  OutputBuffer x_buf(ucount * un * sizeof(double));
  OutputBuffer p_buf(ucount * un * un * sizeof(double));
  OutputBuffer z_buf(ucount * um * sizeof(double));
  OutputBuffer ll_buf(ucount * sizeof(double));
  OutputBuffer status_buf(ucount * sizeof(std::int64_t));
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

  batch::WorkerPool& pool = batch::WorkerPool::instance();
  {
    InterpreterLockRelease unlocked;
    batch::run_filter_bank(model, buffers, pool);
  }

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

constexpr int kKw = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"rts_smooth", as_cfunction(&function_entry<kRtsSmooth, rts_smooth_body>), kKw, kRtsSmoothDoc},
    {"batch_filter_linear", as_cfunction(&function_entry<kBatchFilterLinear, batch_filter_linear_body>), kKw,
     kBatchFilterLinearDoc},
    {"batch_parallel_step", as_cfunction(&function_entry<kBatchParallelStep, batch_parallel_step_body>), kKw,
     kBatchParallelStepDoc},
};

}  // namespace

Ref rts_smooth_function(PyObject* module) { return new_module_function(&kFunctions[0], module); }
Ref batch_filter_linear_function(PyObject* module) { return new_module_function(&kFunctions[1], module); }
Ref batch_parallel_step_function(PyObject* module) { return new_module_function(&kFunctions[2], module); }

}  // namespace vexel::py
