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
#include <string>
#include <vector>

namespace vexel::py {

namespace {


bool shape_is(const ArrayIn& a, std::initializer_list<npy_intp> dims) {
  if (a.ndim() != static_cast<int>(dims.size())) return false;
  int i = 0;
  for (npy_intp d : dims) {
    if (a.dim(i++) != d) return false;
  }
  return true;
}

/// An array of `low` or `low + 1` dimensions (a shared value or one per
/// sequence); anything else gets the conversion error for `low + 1`.
ArrayIn arg_array_or_stack(PyObject* obj, int low, const char* name) {
  if (!ensure_numpy()) fail_python();
  const int nd = (PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == low) ? low : low + 1;
  return arg_array(obj, nd, name);
}

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
  return static_cast<npy_intp>(arg_u64(obj, "first_sequence"));
}

std::pair<std::uint64_t, std::uint64_t> shape(npy_intp rows, npy_intp cols) {
  return {static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(cols)};
}

/// "sequence i" in messages: global, or nothing for a single sequence.
struct Labels {
  std::optional<npy_intp> first;
  std::string row(npy_intp i, npy_intp k) const {
    if (!first) return "zs[" + num(k) + "]";
    const npy_intp g = *first + i;
    return "zs[" + num(g) + ", " + num(k) + "] (sequence " + num(g) + ", step " + num(k) + ")";
  }
  std::string per_sequence(const char* name, npy_intp i, bool stacked) const {
    if (!stacked) return name;
    return std::string(name) + "[" + num(first.value_or(0) + i) + "]";
  }
  std::string sequence_suffix(npy_intp i) const {
    if (!first) return "";
    return " (sequence " + num(*first + i) + ")";
  }
};

/// The converted and checked arguments of panel_filter / panel_smoother.
struct PanelArgs {
  ArrayIn x0, p0, zs, fs, hs, qs, rs;
  bool gaps = false;
  Labels labels;
  npy_intp count = 0, steps = 0, n = 0, m = 0;

  panel::PanelInputs inputs() const {
    panel::PanelInputs in{view_of(x0), view_of(p0), view_of(zs), view_of(fs), view_of(hs), view_of(qs), view_of(rs),
                          gaps};
    return in;
  }
};

void check_finite_model(const ArrayIn& a, const char* name) {
  if (const auto step = first_non_finite_step(a)) {
    fail(Error::value(std::string(name) + " contains non-finite values (NaN or inf) at step " + num(*step)));
  }
}

bool finite_span(const ArrayIn& a, npy_intp i, bool stacked) {
  const int nd = a.ndim() - (stacked ? 1 : 0);
  const npy_intp r = a.dim(stacked ? 1 : 0);
  const npy_intp c = nd == 2 ? a.dim(stacked ? 2 : 1) : 1;
  for (npy_intp j = 0; j < r; ++j) {
    for (npy_intp k = 0; k < c; ++k) {
      double v;
      if (stacked) {
        v = nd == 2 ? a.at(i, j, k) : a.at(i, j);
      } else {
        v = nd == 2 ? a.at(j, k) : a.at(j);
      }
      if (!is_finite(v)) return false;
    }
  }
  return true;
}

/// Conversion in signature order, then shapes, then finiteness of x0, P0
/// and the model (the measurements are checked on the pool).
PanelArgs panel_args(PyObject* const* args) {
  PanelArgs a;
  a.x0 = arg_array_or_stack(args[0], 1, "x0");
  a.p0 = arg_array_or_stack(args[1], 2, "p0");
  a.zs = arg_array(args[2], 3, "zs");
  PyObject* model = arg_tuple(args[3], "model");
  if (PyTuple_Size(model) != 4) {
    fail(Error::value("model must be a tuple (Fs, Hs, Qs, Rs); got " + num(PyTuple_Size(model)) + " items"));
  }
  a.fs = arg_array(PyTuple_GetItem(model, 0), 3, "Fs");
  a.hs = arg_array(PyTuple_GetItem(model, 1), 3, "Hs");
  a.qs = arg_array(PyTuple_GetItem(model, 2), 3, "Qs");
  a.rs = arg_array(PyTuple_GetItem(model, 3), 3, "Rs");
  a.gaps = arg_flag(args[4], "nan_means_missing");
  return a;
}

/// `covariances`: whether (M, N, n, n) covariances are among the outputs.
void check_panel_args(PanelArgs& a, bool covariances) {
  a.count = a.zs.dim(0);
  a.steps = a.zs.dim(1);
  a.m = a.zs.dim(2);
  const bool x_stacked = a.x0.ndim() == 2;
  const bool p_stacked = a.p0.ndim() == 3;
  a.n = a.x0.dim(x_stacked ? 1 : 0);
  const npy_intp M = a.count, N = a.steps, n = a.n, m = a.m;
  if (M == 0) fail(Error::value("zs must contain at least one sequence"));
  if (N == 0) fail(Error::value("zs must contain at least one observation"));
  if (x_stacked && a.x0.dim(0) != M) {
    fail(Error::value("x0 must have shape (dim_x,) or (M, dim_x) with M = " + num(M) + " sequences; got " +
                      shape_text(a.x0)));
  }
  if (n == 0) fail(Error::value("x0 must have at least one dimension"));
  if (!(p_stacked ? shape_is(a.p0, {M, n, n}) : shape_is(a.p0, {n, n}))) {
    fail(Error::value("P0 must have shape " + shape_text({n, n}) + " or " + shape_text({M, n, n}) + "; got " +
                      shape_text(a.p0)));
  }
  struct Stack {
    const ArrayIn* array;
    const char* name;
    npy_intp rows, cols;
  };
  for (const Stack& s : {Stack{&a.fs, "Fs", n, n}, Stack{&a.hs, "Hs", m, n}, Stack{&a.qs, "Qs", n, n},
                         Stack{&a.rs, "Rs", m, m}}) {
    if (!shape_is(*s.array, {N, s.rows, s.cols})) {
      fail(Error::value(std::string(s.name) + " must have shape " + shape_text({N, s.rows, s.cols}) + "; got " +
                        shape_text(*s.array)));
    }
  }
  check_shape_fits({M, N, n, n});
  unwrap(check_storage({shape(M * N, n), shape(covariances ? M * N : 0, n * n), shape(M, N)}));
  for (npy_intp i = 0; i < (x_stacked ? M : 1); ++i) {
    if (!finite_span(a.x0, i, x_stacked)) {
      fail(Error::value(a.labels.per_sequence("x0", i, x_stacked) + " contains non-finite values (NaN or inf)"));
    }
  }
  for (npy_intp i = 0; i < (p_stacked ? M : 1); ++i) {
    if (!finite_span(a.p0, i, p_stacked)) {
      fail(Error::value(a.labels.per_sequence("P0", i, p_stacked) + " contains non-finite values (NaN or inf)"));
    }
  }
  check_finite_model(a.fs, "F");
  check_finite_model(a.hs, "H");
  check_finite_model(a.qs, "Q");
  check_finite_model(a.rs, "R");
}

[[noreturn]] void fail_measurement(const PanelArgs& a, const panel::MeasurementFault& f) {
  std::vector<double> row(static_cast<std::size_t>(a.m));
  for (npy_intp j = 0; j < a.m; ++j) row[static_cast<std::size_t>(j)] = a.zs.at(f.sequence, f.step, j);
  const std::string head = a.labels.row(f.sequence, f.step);
  const std::string values = format_value_list(row.data(), a.m);
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

// ---------------------------------------------------------------------------
// panel_filter

constexpr Params kPanelFilter{
    "panel_filter()", 6, 6, {"x0", "p0", "zs", "model", "nan_means_missing", "first_sequence"}};

Ref panel_filter_body(PyObject* const* args) {
  PanelArgs a = panel_args(args);
  a.labels.first = arg_first_sequence(args[5]);
  check_panel_args(a, true);
  const npy_intp xdims[3] = {a.count, a.steps, a.n};
  const npy_intp pdims[4] = {a.count, a.steps, a.n, a.n};
  const npy_intp ldims[2] = {a.count, a.steps};
  // Every element is written before the arrays are returned.
  Ref xs = new_array(3, xdims);
  Ref ps = new_array(4, pdims);
  Ref ll = new_array(2, ldims);
  const panel::PanelInputs in = a.inputs();
  const panel::PanelFilterOutputs out{array_data(xs), array_data(ps), array_data(ll)};
  batch::WorkerPool& pool = batch::WorkerPool::instance();
  std::optional<panel::MeasurementFault> fault;
  panel::SequenceFailure failed;
  without_lock([&] {
    fault = panel::find_measurement_fault(in.zs, in.gaps, pool);
    if (!fault) failed = panel::run_panel_filter(in, out, pool);
  });
  if (fault) fail_measurement(a, *fault);
  if (failed) fail_sequence(a.labels, in, *failed);
  return tuple_of({&xs, &ps, &ll});
}

constexpr const char kPanelFilterDoc[] =
    "panel_filter(x0, p0, zs, model, nan_means_missing, first_sequence)\n--\n\n"
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
    "batch_filter_linear gives it.";

// ---------------------------------------------------------------------------
// panel_smoother

constexpr Params kPanelSmoother{
    "panel_smoother()",
    7,
    7,
    {"x0", "p0", "zs", "model", "nan_means_missing", "covariances", "first_sequence"}};

Ref panel_smoother_body(PyObject* const* args) {
  PanelArgs a = panel_args(args);
  const bool covariances = arg_flag(args[5], "covariances");
  a.labels.first = arg_first_sequence(args[6]);
  check_panel_args(a, covariances);
  const npy_intp xdims[3] = {a.count, a.steps, a.n};
  const npy_intp pdims[4] = {a.count, a.steps, a.n, a.n};
  const npy_intp ldims[1] = {a.count};
  Ref xs = new_array(3, xdims);
  Ref ps = covariances ? new_array(4, pdims) : none();
  Ref ll = new_array(1, ldims);
  const panel::PanelInputs in = a.inputs();
  const panel::PanelSmootherOutputs out{array_data(xs), covariances ? array_data(ps) : nullptr, array_data(ll)};
  batch::WorkerPool& pool = batch::WorkerPool::instance();
  std::optional<panel::MeasurementFault> fault;
  panel::SequenceFailure failed;
  without_lock([&] {
    fault = panel::find_measurement_fault(in.zs, in.gaps, pool);
    if (!fault) failed = panel::run_panel_smoother(in, out, pool);
  });
  if (fault) fail_measurement(a, *fault);
  if (failed) fail_sequence(a.labels, in, *failed);
  return tuple_of({&xs, &ps, &ll});
}

constexpr const char kPanelSmootherDoc[] =
    "panel_smoother(x0, p0, zs, model, nan_means_missing, covariances, first_sequence)\n--\n\n"
    "Filter and Rauch-Tung-Striebel smoother of each of M sequences in one pass\n"
    "(arguments as panel_filter); the filtered covariances live only in\n"
    "per-worker scratch.\n"
    "\n"
    "Returns (xs, Ps, log_likelihood): smoothed means (M, N, dim_x), smoothed\n"
    "covariances (M, N, dim_x, dim_x) or None when covariances is false, and\n"
    "each sequence's log-likelihood summed over its observed steps (M,).";

// ---------------------------------------------------------------------------
// panel_rts

constexpr Params kPanelRts{"panel_rts()", 5, 5, {"xs", "ps", "fs", "qs", "first_sequence"}};

void check_transition_stack(const ArrayIn& a, npy_intp steps, npy_intp n, const char* name) {
  const bool lead_ok = a.dim(0) == steps || a.dim(0) == steps - 1;
  if (!lead_ok || a.dim(1) != n || a.dim(2) != n) {
    fail(Error::value(std::string(name) + " must have shape (N, " + num(n) + ", " + num(n) + ") or (N-1, " + num(n) +
                      ", " + num(n) + "); got " + shape_text(a)));
  }
}

Ref panel_rts_body(PyObject* const* args) {
  const ArrayIn xs = arg_array(args[0], 3, "xs");
  const ArrayIn ps = arg_array(args[1], 4, "ps");
  const ArrayIn fs = arg_array(args[2], 3, "fs");
  const ArrayIn qs = arg_array(args[3], 3, "qs");
  Labels labels{arg_first_sequence(args[4])};
  const npy_intp M = xs.dim(0), N = xs.dim(1), n = xs.dim(2);
  if (M == 0) fail(Error::value("xs must contain at least one sequence"));
  if (N == 0) fail(Error::value("xs must contain at least one filtered state"));
  if (n == 0) fail(Error::value("xs third dimension must be positive"));
  if (!shape_is(ps, {M, N, n, n})) {
    fail(Error::value("Ps must have shape " + shape_text({M, N, n, n}) + ", got " + shape_text(ps)));
  }
  check_transition_stack(fs, N, n, "Fs");
  check_transition_stack(qs, N, n, "Qs");
  check_shape_fits({M, N, n, n});
  unwrap(check_storage({shape(M * N, n), shape(M * N, n * n)}));
  const npy_intp xdims[3] = {M, N, n};
  const npy_intp pdims[4] = {M, N, n, n};
  Ref xs_out = new_array(3, xdims);
  Ref ps_out = new_array(4, pdims);
  const panel::PanelRtsInputs in{view_of(xs), view_of(ps), view_of(fs), view_of(qs)};
  double* x_out = array_data(xs_out);
  double* p_out = array_data(ps_out);
  batch::WorkerPool& pool = batch::WorkerPool::instance();
  panel::SequenceFailure failed;
  without_lock([&] {
    failed = panel::run_panel_rts(in, x_out, p_out, pool);
  });
  if (failed) fail_inversion(labels, *failed);
  return tuple_of({&xs_out, &ps_out});
}

constexpr const char kPanelRtsDoc[] =
    "panel_rts(xs, ps, fs, qs, first_sequence)\n--\n\n"
    "rts_smooth of each of M filtered sequences, on the worker pool.\n"
    "\n"
    "  xs: (M, N, dim_x), ps: (M, N, dim_x, dim_x)\n"
    "  fs, qs: (N or N-1, dim_x, dim_x), shared, read as rts_smooth reads them\n"
    "\n"
    "Returns (xs_smooth, Ps_smooth) of the shapes of (xs, ps).";

// ---------------------------------------------------------------------------
// bank_step_gaps

constexpr Params kBankStepGaps{"bank_step_gaps()", 7, 7, {"xs", "ps", "zs", "f", "h", "q", "r"}};

constexpr const char kBankStepGapsDoc[] =
    "bank_step_gaps(xs, ps, zs, f, h, q, r)\n--\n\n"
    "batch_parallel_step for a bank with missed measurements: a filter whose\n"
    "z_i is all NaN is predicted only and gets status 4 (no measurement) and\n"
    "a NaN log-likelihood. Codes 0 to 3 keep their meaning; a z_i partly NaN\n"
    "or holding an infinity is status 3.";

PyMethodDef kFunctions[] = {
    {"panel_filter", as_cfunction(&function_entry<kPanelFilter, panel_filter_body>), kKwFlags, kPanelFilterDoc},
    {"panel_smoother", as_cfunction(&function_entry<kPanelSmoother, panel_smoother_body>), kKwFlags,
     kPanelSmootherDoc},
    {"panel_rts", as_cfunction(&function_entry<kPanelRts, panel_rts_body>), kKwFlags, kPanelRtsDoc},
    {"bank_step_gaps", as_cfunction(&function_entry<kBankStepGaps, bank_step_with_gaps>), kKwFlags,
     kBankStepGapsDoc},
};

}  // namespace

void add_panel(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
