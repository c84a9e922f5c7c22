// em_statistics: one expectation step of EM over a whole panel, on the worker
// pool with the interpreter lock released.  The arrays are read-borrowed
// for the duration of the call; the statistics come back as new arrays.
#include "engine_fit.hpp"

#include "engine_panel.hpp"

#include "../fit/em_statistics.hpp"
#include "../kernels/storage.hpp"
#include "../panel/panel.hpp"
#include "../runtime/worker_pool.hpp"

#include <optional>
#include <string>
#include <utility>

namespace vexel::py {

namespace {

// The measurements bind the panel's sizes; the prior and each matrix of the
// model are one for every sequence or one per sequence.
namespace em_arrays {
enum { kSequences, kSteps, kDimZ, kDimX };
enum { kX0, kP0, kZs, kF, kH, kQ, kR };
constexpr ArrayDim kDims[] = {
    {"M", "zs must contain at least one sequence", kZs},
    {"N", "zs must contain at least one observation", kZs},
    {"dim_z", "zs must hold at least one measurement component", kZs},
    {"dim_x", "x0 must have at least one dimension", kX0},
};
constexpr ArrayDecl kArrays[] = {
    {"x0", 2, {{kSequences, Axis::kOptional}, {kDimX}}, nullptr, ArrayDecl::kSemicolon,
     "x0{item} contains non-finite values (NaN or inf)",
     "x0 must have shape (dim_x,) or (M, dim_x) with M = {M} sequences; got {shape}"},
    {"p0", 3, {{kSequences, Axis::kOptional}, {kDimX}, {kDimX}}, "P0", ArrayDecl::kSemicolon,
     "P0{item} contains non-finite values (NaN or inf)"},
    // Checked on the pool, with the lock released (see find_measurement_fault).
    {"zs", 3, {{kSequences}, {kSteps}, {kDimZ}}},
    {"F", 3, {{kSequences, Axis::kOptional}, {kDimX}, {kDimX}}, nullptr, ArrayDecl::kSemicolon,
     "F{item} contains non-finite values (NaN or inf)"},
    {"H", 3, {{kSequences, Axis::kOptional}, {kDimZ}, {kDimX}}, nullptr, ArrayDecl::kSemicolon,
     "H{item} contains non-finite values (NaN or inf)"},
    {"Q", 3, {{kSequences, Axis::kOptional}, {kDimX}, {kDimX}}, nullptr, ArrayDecl::kSemicolon,
     "Q{item} contains non-finite values (NaN or inf)"},
    {"R", 3, {{kSequences, Axis::kOptional}, {kDimZ}, {kDimZ}}, nullptr, ArrayDecl::kSemicolon,
     "R{item} contains non-finite values (NaN or inf)"},
};
}  // namespace em_arrays



constexpr Params kEmStatistics{
    "em_statistics()", 6, 6, {"x0", "p0", "zs", "model", "per_series", "first_sequence"}};

Ref em_statistics_body(PyObject* const* args) {
  using namespace em_arrays;
  const ModelTupleObjects objects(args, "(F, H, Q, R)");
  ArrayArgs arrays(kArrays, kDims, objects.items);
  const bool per_series = arg_flag(args[4], "per_series");
  Labels labels{arg_first_sequence(args[5])};
  arrays.check_shapes();
  const npy_intp M = arrays.dim(kSequences), N = arrays.dim(kSteps), m = arrays.dim(kDimZ),
                 n = arrays.dim(kDimX);
  const npy_intp groups = per_series ? M : 1;
  const npy_intp size = fit::em_statistics_size(n, m);
  check_shape_fits({M, n, n});
  check_shape_fits({groups, size});
  // The outputs, the per-block sums and each worker's trace of one sequence.
  const std::uint64_t workers = runtime::WorkerPool::instance().size();
  unwrap(check_storage({shape(M, n * n + n + 1), shape(groups + M / 16 + 1, size),
                        shape(static_cast<npy_intp>(workers) * (N + 1), n * n + n)}));
  arrays.set_item_offset(labels.first.value_or(0));
  arrays.check_finite();

  const npy_intp ldims[1] = {M};
  const npy_intp sdims[2] = {groups, size};
  const npy_intp xdims[2] = {M, n};
  const npy_intp pdims[3] = {M, n, n};
  // Every element is written before the arrays are returned.
  Ref ll = new_array(1, ldims);
  Ref stats = new_array(2, sdims);
  Ref x_init = new_array(2, xdims);
  Ref p_init = new_array(3, pdims);
  const fit::EmInputs in{view_of(arrays[kX0]), view_of(arrays[kP0]), view_of(arrays[kZs]), view_of(arrays[kF]),
                         view_of(arrays[kH]),  view_of(arrays[kQ]),  view_of(arrays[kR]),  per_series};
  const fit::EmOutputs out{array_data(ll), array_data(stats), array_data(x_init), array_data(p_init)};
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  std::optional<panel::MeasurementFault> fault;
  std::optional<fit::EmFailure> failed;
  without_lock([&] {
    fault = panel::find_measurement_fault(in.zs, /*gaps=*/true, pool);
    if (!fault) failed = fit::run_em_statistics(in, out, pool);
  });
  if (fault) fail_measurement(arrays[kZs], m, labels, *fault);
  if (failed) {
    Error e = std::move(failed->error);
    e.message += labels.sequence_suffix(failed->sequence);
    fail(std::move(e));
  }
  return tuple_of({&ll, &stats, &x_init, &p_init});
}

const char* const kEmStatisticsDoc = signature_doc(kEmStatistics, ""
    "One expectation step of EM for a linear model over each of M sequences,\n"
    "on the worker pool with the interpreter lock released: the filter, the\n"
    "smoother back to the prior of the state before step 0, and the\n"
    "sufficient statistics relative to the model in force.\n"
    "\n"
    "  x0: (dim_x,) or (M, dim_x); p0: (dim_x, dim_x) or (M, dim_x, dim_x)\n"
    "  zs: (M, N, dim_z); a row of all NaN is a missed measurement\n"
    "  model: (F, H, Q, R), each one matrix or one per sequence\n"
    "  per_series: one set of statistics per sequence, else their sum\n"
    "  first_sequence: index of sequence 0 in messages, or None for a single\n"
    "    sequence (messages then name steps only)\n"
    "\n"
    "Returns (log_likelihood (M,), statistics (G, 4 n^2 + m^2 + m n) with\n"
    "G = M per series else 1, laid out as sum E[e e^T], sum E[e x_prev^T],\n"
    "sum E[x_prev x_prev^T] over the N transitions (e = x - F x_prev) and\n"
    "sum E[r r^T], sum E[r x^T], sum E[x x^T] over the observed steps\n"
    "(r = y - H x), the smoothed prior means (M, n) and covariances (M, n, n)).", false);

PyMethodDef kFunctions[] = {
    {"em_statistics", as_cfunction(&function_entry<kEmStatistics, em_statistics_body>), kKwFlags,
     kEmStatisticsDoc},
};

}  // namespace

void add_fit(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
