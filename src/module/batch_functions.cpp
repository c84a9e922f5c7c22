// The batch functions of vexel_ckf._native: each declares its array
// arguments once (the kit converts and checks them with their messages),
// checks that its outputs can exist, and runs a routine of src/batch.
#include "batch_functions.hpp"
#include "batch_docs.hpp"

#include "../kit/kit.hpp"

#include "../batch/batch_routines.hpp"
#include "../batch/filter_bank.hpp"
#include "../runtime/worker_pool.hpp"
#include "../kernels/storage.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace vexel::py {

namespace {

/// (rows, cols) of one matrix for check_storage; every extent passed here is
/// a product of extents of an existing array, so it fits.
std::pair<std::uint64_t, std::uint64_t> shape(npy_intp rows, npy_intp cols) {
  return {static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(cols)};
}

// ---------------------------------------------------------------------------
// rts_smooth(xs, ps, fs, qs)

constexpr Params kRtsSmooth{"rts_smooth()", 4, 4, {"xs", "ps", "fs", "qs"}};

namespace rts {
enum { kSteps, kDimX };
constexpr ArrayDim kDims[] = {
    {"N", "xs must contain at least one filtered state"},
    {"dim_x", "xs second dimension must be positive"},
};
constexpr ArrayDecl kArrays[] = {
    {"xs", 2, {{kSteps}, {kDimX}}},
    {"ps", 3, {{kSteps}, {kDimX}, {kDimX}}, "Ps", ArrayDecl::kComma},
    // Per-transition stacks of N or N-1 entries, each read by its own length.
    {"fs", 3, {{kSteps, Axis::kOrOneLess}, {kDimX}, {kDimX}}, "Fs"},
    {"qs", 3, {{kSteps, Axis::kOrOneLess}, {kDimX}, {kDimX}}, "Qs"},
};
}  // namespace rts

Ref rts_smooth_body(PyObject* const* args) {
  using namespace rts;
  ArrayArgs a(kArrays, kDims, args);
  a.check_shapes();
  const npy_intp steps = a.dim(kSteps);
  const npy_intp dim_x = a.dim(kDimX);
  check_shape_fits({steps, dim_x, dim_x});
  unwrap(check_storage({shape(steps, dim_x), shape(steps, dim_x * dim_x), shape(dim_x, dim_x)}));
  a.check_finite();

  const npy_intp xdims[2] = {steps, dim_x};
  const npy_intp pdims[3] = {steps, dim_x, dim_x};
  Ref xs_out = new_zeros(2, xdims);
  Ref ps_out = new_zeros(3, pdims);
  const batch::SmootherInputs in{view_of(a[0]), view_of(a[1]), view_of(a[2]), view_of(a[3])};
  const batch::SmootherOutputs out{array_data(xs_out), array_data(ps_out)};
  unwrap(batch::run_rts_smoother(in, out));
  return tuple_of({&xs_out, &ps_out});
}

// ---------------------------------------------------------------------------
// batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)

constexpr Params kBatchFilterLinear{"batch_filter_linear()", 7, 7, {"x0", "p0", "zs", "fs", "hs", "qs", "rs"}};

namespace linear {
enum { kDimX, kSteps, kDimZ };
constexpr ArrayDim kDims[] = {
    {"dim_x", "x0 must have at least one dimension"},
    {"N", "zs must contain at least one observation"},
    {"dim_z", nullptr},
};
constexpr ArrayDecl kArrays[] = {
    {"x0", 1, {{kDimX}}, nullptr, ArrayDecl::kSemicolon, "x0 contains non-finite values (NaN or inf)"},
    {"p0", 2, {{kDimX}, {kDimX}}, "P0", ArrayDecl::kSemicolon, "P0 contains non-finite values (NaN or inf)"},
    // This function's own words, which callers match: it takes no gaps
    // itself; the Python layer sends a sequence with gaps to the panel
    // routines, which know missed measurements.
    {"zs", 2, {{kSteps}, {kDimZ}}, nullptr, ArrayDecl::kSemicolon,
     "zs[{step}] contains non-finite values (NaN or inf). batch_filter does not support missing "
     "measurements yet; use VexelCKF.run(..., nan_means_missing=True), which skips all-NaN rows"},
    {"fs", 3, {{kSteps}, {kDimX}, {kDimX}}, "Fs", ArrayDecl::kSemicolon,
     "F contains non-finite values (NaN or inf) at step {step}"},
    {"hs", 3, {{kSteps}, {kDimZ}, {kDimX}}, "Hs", ArrayDecl::kSemicolon,
     "H contains non-finite values (NaN or inf) at step {step}"},
    {"qs", 3, {{kSteps}, {kDimX}, {kDimX}}, "Qs", ArrayDecl::kSemicolon,
     "Q contains non-finite values (NaN or inf) at step {step}"},
    {"rs", 3, {{kSteps}, {kDimZ}, {kDimZ}}, "Rs", ArrayDecl::kSemicolon,
     "R contains non-finite values (NaN or inf) at step {step}"},
};
}  // namespace linear

Ref batch_filter_linear_body(PyObject* const* args) {
  using namespace linear;
  ArrayArgs a(kArrays, kDims, args);
  a.check_shapes();
  const npy_intp dim_x = a.dim(kDimX);
  const npy_intp steps = a.dim(kSteps);
  const npy_intp dim_z = a.dim(kDimZ);
  // Refuse what cannot fit in memory before scanning inputs that may be
  // huge broadcast views.
  check_shape_fits({steps, dim_x, dim_x});
  unwrap(check_storage({shape(steps, dim_x), shape(steps, dim_x * dim_x), shape(steps, 1), shape(dim_z, dim_z),
                        shape(dim_z, dim_x), shape(dim_x, dim_x)}));
  a.check_finite();

  const npy_intp xdims[2] = {steps, dim_x};
  const npy_intp pdims[3] = {steps, dim_x, dim_x};
  const npy_intp ldims[1] = {steps};
  Ref xs_out = new_zeros(2, xdims);
  Ref ps_out = new_zeros(3, pdims);
  Ref ll_out = new_zeros(1, ldims);
  const batch::LinearFilterInputs in{view_of(a[0]), view_of(a[1]), view_of(a[2]), view_of(a[3]),
                                     view_of(a[4]), view_of(a[5]), view_of(a[6])};
  const batch::LinearFilterOutputs out{array_data(xs_out), array_data(ps_out), array_data(ll_out)};
  unwrap(batch::run_linear_filter(in, out));
  return tuple_of({&xs_out, &ps_out, &ll_out});
}

// ---------------------------------------------------------------------------
// batch_parallel_step(xs, ps, zs, f, h, q, r)

constexpr Params kBatchParallelStep{"batch_parallel_step()", 7, 7, {"xs", "ps", "zs", "f", "h", "q", "r"}};

namespace parallel {
enum { kCount, kDimX, kDimZ };
enum { kXs, kPs, kZs, kF, kH, kQ, kR };
constexpr ArrayDim kDims[] = {
    {"M", "xs must contain at least one filter"},
    {"dim_x", "dim_x must be positive"},
    {"dim_z", "dim_z must be positive"},
};
// Each filter's own data may hold NaN or inf (its status says so); the
// shared model may not.
constexpr ArrayDecl kArrays[] = {
    {"xs", 2, {{kCount}, {kDimX}}},
    {"ps", 3, {{kCount}, {kDimX}, {kDimX}}, "Ps"},
    {"zs", 2, {{kCount}, {kDimZ}}},
    {"f", 2, {{kDimX}, {kDimX}}, "F", ArrayDecl::kSemicolon,
     "F contains non-finite values (NaN or inf); it is shared by every filter in the bank"},
    {"h", 2, {{kDimZ}, {kDimX}}, "H", ArrayDecl::kSemicolon,
     "H contains non-finite values (NaN or inf); it is shared by every filter in the bank"},
    {"q", 2, {{kDimX}, {kDimX}}, "Q", ArrayDecl::kSemicolon,
     "Q contains non-finite values (NaN or inf); it is shared by every filter in the bank"},
    {"r", 2, {{kDimZ}, {kDimZ}}, "R", ArrayDecl::kSemicolon,
     "R contains non-finite values (NaN or inf); it is shared by every filter in the bank"},
};
}  // namespace parallel

}  // namespace

/// copy_c_order of the bank's per-filter arrays (count rows each).  With
/// the lock still held, since nothing of the caller's arrays is read once it
/// is released, but C-contiguous ones by the pool's workers, a block of
/// filters each: the copy then scales with the workers, and so do the first
/// touches of the fresh result pages.
void copy_priors(runtime::WorkerPool& pool, std::initializer_list<const ArrayIn*> from,
                 std::initializer_list<double*> to, npy_intp count) {
  bool contiguous = true;
  for (const ArrayIn* a : from) contiguous = contiguous && PyArray_IS_C_CONTIGUOUS(a->array());
  if (!contiguous || count < 4096) {
    auto out = to.begin();
    for (const ArrayIn* a : from) copy_c_order(*a, *out++);
    return;
  }
  const auto rows = static_cast<std::size_t>(count);
  pool.parallel_for(rows, 4096, [&](std::size_t begin, std::size_t end) {
    auto out = to.begin();
    for (const ArrayIn* a : from) {
      std::size_t row = 1;
      for (int d = 1; d < a->ndim(); ++d) row *= static_cast<std::size_t>(a->dim(d));
      std::memcpy(*out++ + begin * row, a->data() + begin * row * sizeof(double), (end - begin) * row * sizeof(double));
    }
  });
}

Ref linear_bank_step(PyObject* const* args, bool gaps) {
  using namespace parallel;
  ArrayArgs a(kArrays, kDims, args);
  a.check_shapes();
  const npy_intp count = a.dim(kCount);
  const npy_intp dim_x = a.dim(kDimX);
  const npy_intp dim_z = a.dim(kDimZ);
  // Refuse (MemoryError) what cannot fit in memory before scanning the
  // shared matrices (possibly huge broadcast views) and instead of letting
  // an overcommitted allocation fail while it is being filled.
  check_shape_fits({count, dim_x, dim_x});
  check_shape_fits({count, dim_z});
  unwrap(check_storage({shape(count, dim_x), shape(count, dim_x * dim_x), shape(count, dim_z), shape(count, 2),
                        shape(dim_x, dim_x), shape(dim_z, dim_x), shape(dim_x, dim_x), shape(dim_z, dim_z)}));
  a.check_finite();

  // The shared model and owned, C-ordered copies of every filter's data:
  // nothing of the caller's arrays is read once the lock is released.
  const batch::BankModel model{pyarray2_to_dmatrix(a[kF], dim_x, dim_x, "F"), pyarray2_to_dmatrix(a[kH], dim_z, dim_x, "H"),
                               pyarray2_to_dmatrix(a[kQ], dim_x, dim_x, "Q"), pyarray2_to_dmatrix(a[kR], dim_z, dim_z, "R")};
  // The result arrays are the working buffers: each filter's prior is
  // copied into its slot of the new xs and Ps, where the step overwrites it
  // (one copy and one set of fresh pages, instead of filling scratch memory
  // and then copying it out).  Only zs needs scratch.
  const auto ucount = static_cast<std::size_t>(count);
  const auto um = static_cast<std::size_t>(dim_z);
  const npy_intp xdims[2] = {count, dim_x};
  const npy_intp pdims[3] = {count, dim_x, dim_x};
  const npy_intp ldims[1] = {count};
  Ref xs_out = new_array(2, xdims, NPY_DOUBLE);
  Ref ps_out = new_array(3, pdims, NPY_DOUBLE);
  Ref ll_out = new_array(1, ldims, NPY_DOUBLE);
  Ref status_out = new_array(1, ldims, NPY_INT64);
  OutputBuffer z_buf(ucount * um * sizeof(double));
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  copy_priors(pool, {&a[kXs], &a[kPs], &a[kZs]}, {array_data(xs_out), array_data(ps_out), z_buf.as<double>()},
              count);
  batch::BankBuffers buffers;
  buffers.count = static_cast<Index>(count);
  buffers.dim_x = static_cast<Index>(dim_x);
  buffers.dim_z = static_cast<Index>(dim_z);
  buffers.x = array_data(xs_out);
  buffers.p = array_data(ps_out);
  buffers.z = z_buf.as<double>();
  buffers.log_likelihoods = array_data(ll_out);
  buffers.status = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(status_out.get())));
  buffers.gaps = gaps;

  without_lock([&] { batch::run_filter_bank(model, buffers, pool); });
  return tuple_of({&xs_out, &ps_out, &ll_out, &status_out});
}

namespace {

Ref batch_parallel_step_body(PyObject* const* args) { return linear_bank_step(args, false); }

constexpr int kKw = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"rts_smooth", as_cfunction(&function_entry<kRtsSmooth, rts_smooth_body>), kKw, signature_doc(kRtsSmooth, kRtsSmoothDoc, false)},
    {"batch_filter_linear", as_cfunction(&function_entry<kBatchFilterLinear, batch_filter_linear_body>), kKw,
     signature_doc(kBatchFilterLinear, kBatchFilterLinearDoc, false)},
    {"batch_parallel_step", as_cfunction(&function_entry<kBatchParallelStep, batch_parallel_step_body>), kKw,
     signature_doc(kBatchParallelStep, kBatchParallelStepDoc, false)},
};

}  // namespace

Ref rts_smooth_function(PyObject* module) { return new_module_function(&kFunctions[0], module); }
Ref batch_filter_linear_function(PyObject* module) { return new_module_function(&kFunctions[1], module); }
Ref batch_parallel_step_function(PyObject* module) { return new_module_function(&kFunctions[2], module); }

}  // namespace vexel::py
