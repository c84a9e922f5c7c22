// Bindings of the panel routines (src/panel): argument conversion, the
// checks and their messages, then one parallel map with the interpreter lock
// released.
//
// Unlike batch_parallel_step, which copies its (one step of) data before it
// lets go of the lock, these functions read the caller's arrays and fill
// their new output arrays in place while the lock is released: a panel is
// often most of the memory at hand, and a copy would double it.  The input
// arrays stay referenced and read-borrowed for the whole call (so the engine
// never writes into them elsewhere), the outputs are not visible to any other
// code until the call returns, and Python objects are touched only with the
// lock held.
#include "engine_panel.hpp"

#include "batch_functions.hpp"
#include "../kit/kit.hpp"

#include "../runtime/worker_pool.hpp"
#include "../kernels/storage.hpp"
#include "../panel/panel.hpp"

#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace vexel::py {

bool arg_flag(PyObject* obj, const char* name) {
  return convert_arg(name, [&] {
    const int v = PyObject_IsTrue(obj);
    if (v < 0) fail_python();
    return v == 1;
  });
}

/// None (a single sequence: messages name steps only) or the index of the
/// first sequence within the caller's whole panel (messages name global
/// sequences).
std::optional<npy_intp> arg_first_sequence(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  // Messages add the sequence's index within the call: far below the
  // largest index, so that the sum cannot overflow.
  const std::uint64_t first = arg_u64(obj, "first_sequence");
  if (first > (std::uint64_t{1} << 62)) {
    fail(Error::value("first_sequence must be at most 2**62, got " + std::to_string(first)));
  }
  return static_cast<npy_intp>(first);
}

[[noreturn]] void fail_measurement(const ArrayIn& zs, npy_intp m, const Labels& labels,
                                   const panel::MeasurementFault& f) {
  std::vector<double> row(static_cast<std::size_t>(m));
  for (npy_intp j = 0; j < m; ++j) row[static_cast<std::size_t>(j)] = zs.at(f.sequence, f.step, j);
  const std::string head = labels.row(f.sequence, f.step);
  const std::string values = format_value_list(row.data(), m);
  switch (f.kind) {
    case panel::MeasurementFault::PartlyNaN:
      fail(Error::value(head + " is partly NaN: " + values +
                        ". A missed measurement must be a row of all NaN; a partial measurement cannot be used as "
                        "it is"));
    case panel::MeasurementFault::Infinite:
      fail(Error::value(head + " contains infinite values: " + values));
    case panel::MeasurementFault::NonFinite:
    default:
      fail(Error::value(head + " contains non-finite values: " + values +
                        ". For missed measurements fill their rows with NaN and pass nan_means_missing=True"));
  }
}

ModelTupleObjects::ModelTupleObjects(PyObject* const* args, const char* spelled) {
  PyObject* model = arg_tuple(args[3], "model");
  if (PyTuple_Size(model) != 4) {
    fail(Error::value(std::string("model must be a tuple ") + spelled + "; got " + num(PyTuple_Size(model)) +
                      " items"));
  }
  items[0] = args[0];
  items[1] = args[1];
  items[2] = args[2];
  for (Py_ssize_t k = 0; k < 4; ++k) items[3 + k] = PyTuple_GetItem(model, k);
}

namespace {



// The arrays of panel_filter and panel_smoother: the measurements bind the
// panel's sizes, the initial state may be one for all sequences or one each,
// the model is a tuple of per-step stacks shared by every sequence.
namespace panel_arrays {
enum { kSequences, kSteps, kDimZ, kDimX };
enum { kX0, kP0, kZs, kFs, kHs, kQs, kRs };
constexpr ArrayDim kDims[] = {
    {"M", "zs must contain at least one sequence", kZs},
    {"N", "zs must contain at least one observation", kZs},
    {"dim_z", nullptr, kZs},
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
    {"Fs", 3, {{kSteps}, {kDimX}, {kDimX}}, nullptr, ArrayDecl::kSemicolon,
     "F contains non-finite values (NaN or inf) at step {step}"},
    {"Hs", 3, {{kSteps}, {kDimZ}, {kDimX}}, nullptr, ArrayDecl::kSemicolon,
     "H contains non-finite values (NaN or inf) at step {step}"},
    {"Qs", 3, {{kSteps}, {kDimX}, {kDimX}}, nullptr, ArrayDecl::kSemicolon,
     "Q contains non-finite values (NaN or inf) at step {step}"},
    {"Rs", 3, {{kSteps}, {kDimZ}, {kDimZ}}, nullptr, ArrayDecl::kSemicolon,
     "R contains non-finite values (NaN or inf) at step {step}"},
};
}  // namespace panel_arrays


/// The converted and checked arguments of panel_filter / panel_smoother.
struct PanelArgs {
  ArrayArgs arrays;
  bool gaps = false;
  Labels labels;
  npy_intp count = 0, steps = 0, n = 0, m = 0;

  PanelArgs(PyObject* const* args, const ModelTupleObjects& objects)
      : arrays(panel_arrays::kArrays, panel_arrays::kDims, objects.items),
        gaps(arg_flag(args[4], "nan_means_missing")) {}

  const ArrayIn& zs() const { return arrays[panel_arrays::kZs]; }
  panel::PanelInputs inputs() const {
    using namespace panel_arrays;
    const ArrayArgs& a = arrays;
    return panel::PanelInputs{view_of(a[kX0]), view_of(a[kP0]), view_of(a[kZs]), view_of(a[kFs]),
                              view_of(a[kHs]), view_of(a[kQs]), view_of(a[kRs]), gaps};
  }

  /// `covariances`: whether (M, N, n, n) covariances are among the outputs.
  void check(bool covariances) {
    using namespace panel_arrays;
    arrays.check_shapes();
    count = arrays.dim(kSequences);
    steps = arrays.dim(kSteps);
    m = arrays.dim(kDimZ);
    n = arrays.dim(kDimX);
    const npy_intp M = count, N = steps;
    check_shape_fits({M, N, n, n});
    unwrap(check_storage({shape(M * N, n), shape(covariances ? M * N : 0, n * n), shape(M, N)}));
    arrays.set_item_offset(labels.first.value_or(0));
    arrays.check_finite();
  }
};

[[noreturn]] void fail_inversion(const Labels& labels, npy_intp sequence) {
  fail(Error::runtime("failed to invert innovation covariance" + labels.sequence_suffix(sequence)));
}

/// The failure of sequence i's filter pass (an inversion or an overflowed
/// state, with its step), or of its smoothing pass when the filter pass is
/// sound.
[[noreturn]] void fail_sequence(const Labels& labels, const panel::PanelInputs& in, npy_intp sequence) {
  const Status s = panel::sequence_filter_status(in, sequence);
  if (!s.ok()) fail(Error::runtime(s.error().message + labels.sequence_suffix(sequence)));
  fail_inversion(labels, sequence);
}

/// Smoothed means or covariances that are not finite (an overflow the pass
/// itself does not report) must not come back as a result; `row` is
/// sequence * N + step.
[[noreturn]] void fail_smoothed(const Labels& labels, npy_intp row, npy_intp steps) {
  fail(Error::runtime("smoothed estimate is not finite at step " + num(row % steps) +
                      labels.sequence_suffix(row / steps)));
}

/// The failure to report of a smoothing pass: the lower sequence of an
/// outright failure and an overflow.
bool overflow_first(const panel::SmoothingFailures& f, npy_intp steps) {
  return f.overflowed_row && (!f.failed || *f.overflowed_row / steps < *f.failed);
}

// ---------------------------------------------------------------------------
// panel_filter

constexpr Params kPanelFilter{
    "panel_filter()", 6, 6, {"x0", "p0", "zs", "model", "nan_means_missing", "first_sequence"}};

Ref panel_filter_body(PyObject* const* args) {
  PanelArgs a(args, ModelTupleObjects(args, "(Fs, Hs, Qs, Rs)"));
  a.labels.first = arg_first_sequence(args[5]);
  a.check(true);
  const npy_intp xdims[3] = {a.count, a.steps, a.n};
  const npy_intp pdims[4] = {a.count, a.steps, a.n, a.n};
  const npy_intp ldims[2] = {a.count, a.steps};
  // Every element is written before the arrays are returned.
  Ref xs = new_array(3, xdims);
  Ref ps = new_array(4, pdims);
  Ref ll = new_array(2, ldims);
  const panel::PanelInputs in = a.inputs();
  const panel::PanelFilterOutputs out{array_data(xs), array_data(ps), array_data(ll)};
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  std::optional<panel::MeasurementFault> fault;
  panel::SequenceFailure failed;
  without_lock([&] {
    fault = panel::find_measurement_fault(in.zs, in.gaps, pool);
    if (!fault) failed = panel::run_panel_filter(in, out, pool);
  });
  if (fault) fail_measurement(a.zs(), a.m, a.labels, *fault);
  if (failed) fail_sequence(a.labels, in, *failed);
  return tuple_of({&xs, &ps, &ll});
}

const char* const kPanelFilterDoc = signature_doc(kPanelFilter, ""
    "Linear Kalman filter over each of M sequences of one model, on the worker\n"
    "pool with the interpreter lock released.\n"
    "\n"
    "  x0: (dim_x,) or (M, dim_x)\n"
    "  p0: (dim_x, dim_x) or (M, dim_x, dim_x)\n"
    "  zs: (M, N, dim_z)\n"
    "  model: (Fs, Hs, Qs, Rs), stacks of N matrices shared by every sequence\n"
    "  nan_means_missing: a row of all NaN is a missed measurement (predict\n"
    "    only, NaN log-likelihood)\n"
    "  first_sequence: index of sequence 0 in messages, or None for a single\n"
    "    sequence (messages then name steps only)\n"
    "\n"
    "Returns (xs, Ps, log_likelihoods) of shapes (M, N, dim_x),\n"
    "(M, N, dim_x, dim_x), (M, N); sequence i gets the bits\n"
    "batch_filter_linear gives it.", false);

// ---------------------------------------------------------------------------
// panel_smoother

constexpr Params kPanelSmoother{
    "panel_smoother()",
    7,
    7,
    {"x0", "p0", "zs", "model", "nan_means_missing", "covariances", "first_sequence"}};

Ref panel_smoother_body(PyObject* const* args) {
  PanelArgs a(args, ModelTupleObjects(args, "(Fs, Hs, Qs, Rs)"));
  const bool covariances = arg_flag(args[5], "covariances");
  a.labels.first = arg_first_sequence(args[6]);
  a.check(covariances);
  const npy_intp xdims[3] = {a.count, a.steps, a.n};
  const npy_intp pdims[4] = {a.count, a.steps, a.n, a.n};
  const npy_intp ldims[1] = {a.count};
  Ref xs = new_array(3, xdims);
  Ref ps = covariances ? new_array(4, pdims) : none();
  Ref ll = new_array(1, ldims);
  const panel::PanelInputs in = a.inputs();
  const panel::PanelSmootherOutputs out{array_data(xs), covariances ? array_data(ps) : nullptr, array_data(ll)};
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  std::optional<panel::MeasurementFault> fault;
  panel::SmoothingFailures failed;
  without_lock([&] {
    fault = panel::find_measurement_fault(in.zs, in.gaps, pool);
    if (!fault) failed = panel::run_panel_smoother(in, out, pool);
  });
  if (fault) fail_measurement(a.zs(), a.m, a.labels, *fault);
  if (overflow_first(failed, a.steps)) fail_smoothed(a.labels, *failed.overflowed_row, a.steps);
  if (failed.failed) fail_sequence(a.labels, in, *failed.failed);
  return tuple_of({&xs, &ps, &ll});
}

const char* const kPanelSmootherDoc = signature_doc(kPanelSmoother, ""
    "Filter and Rauch-Tung-Striebel smoother of each of M sequences in one pass\n"
    "(arguments as panel_filter); the filtered covariances live only in\n"
    "per-worker scratch.\n"
    "\n"
    "Returns (xs, Ps, log_likelihood): smoothed means (M, N, dim_x), smoothed\n"
    "covariances (M, N, dim_x, dim_x) or None when covariances is false, and\n"
    "each sequence's log-likelihood summed over its observed steps (M,).", false);

// ---------------------------------------------------------------------------
// panel_rts

constexpr Params kPanelRts{"panel_rts()", 5, 5, {"xs", "ps", "fs", "qs", "first_sequence"}};

// The arrays of panel_rts: each sequence's filtered trace, and stacks of
// N or N-1 transitions shared by every sequence.
namespace rts_arrays {
enum { kSequences, kSteps, kDimX };
constexpr ArrayDim kDims[] = {
    {"M", "xs must contain at least one sequence"},
    {"N", "xs must contain at least one filtered state"},
    {"dim_x", "xs third dimension must be positive"},
};
constexpr ArrayDecl kArrays[] = {
    {"xs", 3, {{kSequences}, {kSteps}, {kDimX}}},
    {"ps", 4, {{kSequences}, {kSteps}, {kDimX}, {kDimX}}, "Ps", ArrayDecl::kComma},
    {"fs", 3, {{kSteps, Axis::kOrOneLess}, {kDimX}, {kDimX}}, "Fs"},
    {"qs", 3, {{kSteps, Axis::kOrOneLess}, {kDimX}, {kDimX}}, "Qs"},
};
}  // namespace rts_arrays

Ref panel_rts_body(PyObject* const* args) {
  using namespace rts_arrays;
  ArrayArgs arrays(kArrays, kDims, args);
  Labels labels{arg_first_sequence(args[4])};
  arrays.check_shapes();
  const npy_intp M = arrays.dim(kSequences), N = arrays.dim(kSteps), n = arrays.dim(kDimX);
  const ArrayIn& xs = arrays[0];
  const ArrayIn& ps = arrays[1];
  const ArrayIn& fs = arrays[2];
  const ArrayIn& qs = arrays[3];
  check_shape_fits({M, N, n, n});
  unwrap(check_storage({shape(M * N, n), shape(M * N, n * n)}));
  const npy_intp xdims[3] = {M, N, n};
  const npy_intp pdims[4] = {M, N, n, n};
  Ref xs_out = new_array(3, xdims);
  Ref ps_out = new_array(4, pdims);
  const panel::PanelRtsInputs in{view_of(xs), view_of(ps), view_of(fs), view_of(qs)};
  double* x_out = array_data(xs_out);
  double* p_out = array_data(ps_out);
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  panel::SmoothingFailures failed;
  without_lock([&] {
    failed = panel::run_panel_rts(in, x_out, p_out, pool);
  });
  if (overflow_first(failed, N)) fail_smoothed(labels, *failed.overflowed_row, N);
  if (failed.failed) fail_inversion(labels, *failed.failed);
  return tuple_of({&xs_out, &ps_out});
}

const char* const kPanelRtsDoc = signature_doc(kPanelRts, ""
    "rts_smooth of each of M filtered sequences, on the worker pool.\n"
    "\n"
    "  xs: (M, N, dim_x), ps: (M, N, dim_x, dim_x)\n"
    "  fs, qs: (N or N-1, dim_x, dim_x), shared, read as rts_smooth reads them\n"
    "\n"
    "Returns (xs_smooth, Ps_smooth) of the shapes of (xs, ps).", false);

// ---------------------------------------------------------------------------
// bank_step_gaps

constexpr Params kBankStepGaps{"bank_step_gaps()", 7, 7, {"xs", "ps", "zs", "f", "h", "q", "r"}};

Ref bank_step_gaps_body(PyObject* const* args) { return linear_bank_step(args, /*gaps=*/true); }

const char* const kBankStepGapsDoc = signature_doc(kBankStepGaps, ""
    "batch_parallel_step for a bank with missed measurements: a filter whose\n"
    "z_i is all NaN is predicted only and gets status 4 (no measurement) and\n"
    "a NaN log-likelihood. Codes 0 to 3 keep their meaning; a z_i partly NaN\n"
    "or holding an infinity is status 3.", false);

PyMethodDef kFunctions[] = {
    {"panel_filter", as_cfunction(&function_entry<kPanelFilter, panel_filter_body>), kKwFlags, kPanelFilterDoc},
    {"panel_smoother", as_cfunction(&function_entry<kPanelSmoother, panel_smoother_body>), kKwFlags,
     kPanelSmootherDoc},
    {"panel_rts", as_cfunction(&function_entry<kPanelRts, panel_rts_body>), kKwFlags, kPanelRtsDoc},
    {"bank_step_gaps", as_cfunction(&function_entry<kBankStepGaps, bank_step_gaps_body>), kKwFlags,
     kBankStepGapsDoc},
};

}  // namespace

void add_panel(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
