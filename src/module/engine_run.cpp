// run_filter(): a whole run of either filter form in one native call, for
// compiled fx and hx.  Each step is the filter's own predict and update (the
// same functions, so the same bits as a step-by-step run), and the steps run
// with the interpreter lock released.  The lock is taken back every few
// milliseconds, so that Ctrl-C stops the run promptly (the steps done are
// kept, as a Python loop would keep them) and progress is reported.
#include "engine_run.hpp"

#include "filter_forms.hpp"
#include "record.hpp"

#include "engine_smoother.hpp"

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"

#include "../ckf/ckf_ops.hpp"
#include "../smoother/fixed_lag.hpp"
#include "../srckf/srckf_ops.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <string>
#include <vector>

namespace vexel::py {

namespace {

constexpr Params kRunFilter{"run_filter()", 9, 3,
                            {"filter", "models", "zs", "missing", "dts", "angles", "progress", "position", "lag"}};

/// How long the steps run between two looks at Ctrl-C and the progress.
constexpr auto kSlice = std::chrono::milliseconds(20);

/// An optional 1-D argument of N entries of one dtype, C-contiguous.
const void* column(PyObject* obj, const char* name, Index steps, int typenum, const char* what,
                   std::optional<ArrayIn>& keep) {
  if (!given(obj)) return nullptr;
  if (!ensure_numpy()) fail_python();
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  if (!PyArray_Check(obj) || PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != typenum || !PyArray_IS_C_CONTIGUOUS(a) ||
      PyArray_DIM(a, 0) != steps) {
    fail(Error::type(std::string(name) + " must be a C-contiguous " + what + " array of length " +
                     std::to_string(steps)));
  }
  if (typenum == NPY_DOUBLE) {
    keep = accept_array(obj, 1, name);
    return keep->data();
  }
  return PyArray_DATA(a);  // a bool mask: read while the call holds the argument
}

/// The process noise as the smoother reads a filter's Q (the field's value):
/// C order, the square-root form's as its factor's product.
std::vector<double> process_noise(const CkfState& s) {
  std::vector<double> q(static_cast<std::size_t>(s.dim_x * s.dim_x));
  for (Index i = 0; i < s.dim_x; ++i)
    for (Index j = 0; j < s.dim_x; ++j) q[static_cast<std::size_t>(i * s.dim_x + j)] = s.Q.coeff(i, j);
  return q;
}

std::vector<double> process_noise(const SrckfState& s) {
  const DMatrix Q = factor_product(s.chol_Q);
  std::vector<double> q(static_cast<std::size_t>(s.dim_x * s.dim_x));
  for (Index i = 0; i < s.dim_x; ++i)
    for (Index j = 0; j < s.dim_x; ++j) q[static_cast<std::size_t>(i * s.dim_x + j)] = Q.coeff(i, j);
  return q;
}

template <class State>
Ref run_filter(Instance<State>& self, PyObject* const* args) {
  using Form = FilterForm<State>;
  State& s = self.state;
  const Index n = s.dim_x;
  const Index m = s.dim_z;
  const RunModels models = arg_run_models(args[1]);
  ModelCall fx(models.fx, models.fx_args, /*pass_dt=*/true);
  ModelCall hx(models.hx, models.hx_args, /*pass_dt=*/false);
  if (fx.compiled() == nullptr || hx.compiled() == nullptr) {
    fail(Error::type("run_filter() runs compiled models only: fx and hx must be CompiledModel objects"));
  }
  check_model_dims(*fx.compiled(), n, n);
  check_model_dims(*hx.compiled(), n, m);

  const ArrayIn zs = arg_array(args[2], 2, "zs");
  const Index steps = zs.dim(0);
  if (zs.dim(1) != m || !PyArray_IS_C_CONTIGUOUS(zs.array())) {
    fail(Error::value("zs must be a C-contiguous array of shape (N, " + std::to_string(m) + ")"));
  }
  std::optional<ArrayIn> missing_in, dts_in;
  const auto* missing = static_cast<const npy_bool*>(column(args[3], "missing", steps, NPY_BOOL, "bool", missing_in));
  const auto* dts = static_cast<const double*>(column(args[4], "dts", steps, NPY_DOUBLE, "float64", dts_in));
  const AngleEntries angles = arg_angle_entries(args[5], n, m);
  PyObject* progress = given(args[6]) ? args[6] : nullptr;
  if (progress != nullptr && PyCallable_Check(progress) == 0) {
    fail(Error::type("progress must be callable, got " + type_name(progress)));
  }
  std::int64_t* position = nullptr;
  if (given(args[7])) {
    // Written through a plain pointer while the lock is released: its two
    // entries must be its own, adjacent and aligned.
    auto* a = reinterpret_cast<PyArrayObject*>(args[7]);
    if (!PyArray_Check(args[7]) || PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != 2 || PyArray_TYPE(a) != NPY_INT64 ||
        !PyArray_ISWRITEABLE(a) || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a)) {
      fail(Error::type("position must be a writeable, C-contiguous, aligned int64 array of two entries"));
    }
    position = static_cast<std::int64_t*>(PyArray_DATA(a));
  }

  // Fixed-lag smoothing: row i of its outputs is step i - lag given the
  // rows up to i (NaN for i < lag), from a window of the last lag + 1 steps
  // that follows the filter.
  const bool lagged = given(args[8]);
  const auto lag = lagged ? static_cast<Index>(std::min<std::uint64_t>(arg_u64(args[8], "lag"), std::uint64_t{1} << 40))
                          : Index{0};
  std::optional<smoother::FixedLagWindow> window;
  std::optional<CompiledTransition> transition;
  std::vector<double> q;
  if (lagged && lag < steps) {
    std::vector<Index> sorted = angles.states;
    std::sort(sorted.begin(), sorted.end());
    window.emplace(n, lag, std::is_same_v<State, SrckfState>, std::move(sorted));
    transition.emplace(*fx.compiled(), fx.bound(), n);
    q = process_noise(s);
  }

  const npy_intp vdims[2] = {steps, n};
  const npy_intp mdims[3] = {steps, n, n};
  const npy_intp sdims[1] = {steps};
  Ref xs = new_array(2, vdims), Ps = new_array(3, mdims), xs_prior = new_array(2, vdims),
      Ps_prior = new_array(3, mdims), lls = new_array(1, sdims), nis = new_array(1, sdims);
  const RunRows rows{array_data(xs), array_data(Ps), array_data(xs_prior), array_data(Ps_prior),
                     array_data(lls), array_data(nis), n};
  Ref xs_lag = lagged ? new_array(2, vdims) : none();
  Ref Ps_lag = lagged ? new_array(3, mdims) : none();
  if (lagged) {
    // Rows before the first full window stay NaN.
    const Index blank = std::min(lag, steps);
    std::fill_n(array_data(xs_lag), blank * n, std::numeric_limits<double>::quiet_NaN());
    std::fill_n(array_data(Ps_lag), blank * n * n, std::numeric_limits<double>::quiet_NaN());
  }

  const auto* z_rows = reinterpret_cast<const double*>(zs.data());
  DVector z(m);
  StepWork<State> work;
  // The covariance filter's prediction of step i draws the points of step
  // i-1 exactly as the smoother does (the same guarded factor of the same
  // P, the same points): the window takes its images instead of calling fx
  // once more.
  constexpr bool kReuse = std::is_same_v<State, CkfState>;
  StepWork<CkfState>::Drawn drawn;
  if constexpr (kReuse) {
    if (window && lag > 0) work.keep = &drawn;
  }
  // Progress is reported about a hundred times per run.
  const Index report_every = std::max<Index>(1, steps / 100);
  Index next_report = progress ? report_every : steps;
  Index i = 0;
  while (i < steps) {
    without_lock([&] {
      const auto start = std::chrono::steady_clock::now();
      while (i < steps) {
        if (position) {
          position[0] = i;
          position[1] = 0;
        }
        Form::predict_with(s, fx.get(), dts ? dts[i] : s.dt, angles, &work);
        if (missing != nullptr && missing[i]) {
          clear_diagnostics(s);
        } else {
          if (position) position[1] = 1;
          for (Index k = 0; k < m; ++k) z[k] = z_rows[i * m + k];
          Form::update_with(s, hx.get(), z, nullptr, angles, &work);
        }
        Form::store_step(s, i, rows);
        if (window) {
          if (position) position[1] = 2;
          if constexpr (kReuse) {
            unwrap(window->push_drawn(drawn.factor, drawn.images, rows.xs + i * n, rows.Ps + i * n * n, q.data()));
          } else {
            unwrap(window->push_through(*transition, dts ? dts[i] : s.dt, rows.xs + i * n, rows.Ps + i * n * n,
                                        q.data()));
          }
          if (i >= lag) {
            unwrap(window->smooth(lag, array_data(xs_lag) + i * n, array_data(Ps_lag) + i * n * n, false));
          }
        }
        ++i;
        if (i >= next_report) break;
        if ((i & 31) == 0 && std::chrono::steady_clock::now() - start > kSlice) break;
      }
    });
    if (position) position[0] = i;
    if (PyErr_CheckSignals() < 0) fail_python();
    if (progress != nullptr && (i >= next_report || i == steps)) {
      Ref done = new_u64(static_cast<std::uint64_t>(i));
      Ref r = Ref::steal(interpreter_call([&] { return PyObject_CallFunctionObjArgs(progress, done.get(), nullptr); }));
      if (!r) fail_python();
      next_report = std::min(steps, i + report_every);
    }
  }
  if (lagged) return tuple_of({&xs, &Ps, &xs_prior, &Ps_prior, &lls, &nis, &xs_lag, &Ps_lag});
  return tuple_of({&xs, &Ps, &xs_prior, &Ps_prior, &lls, &nis});
}

const char* const kRunFilterDoc = signature_doc(kRunFilter, ""
    "Filter a whole sequence with compiled models in one call: for each row z\n"
    "of zs, the filter's predict with fx (dt from dts, else the filter's) and\n"
    "its update with hx (a missed row, missing[i] true, records a skipped\n"
    "measurement). models is (fx, fx_args, hx, hx_args); angles is\n"
    "(angle_states, angle_measurements). Runs without the interpreter lock,\n"
    "taking it back every few milliseconds for Ctrl-C and progress(done).\n"
    "position[0] follows the step being run and position[1] its half (0 the\n"
    "prediction, 1 the update, 2 the fixed-lag smoothing), so that a failure\n"
    "can be placed. With lag, a fixed-lag smoother follows the filter.\n"
    "Returns (xs, Ps, xs_prior, Ps_prior, log_likelihoods, nis), with lag\n"
    "followed by (xs_smoothed, Ps_smoothed): row i the step i - lag given the\n"
    "rows up to i, NaN for i < lag.", false);

PyMethodDef kFunctions[] = {
    {"run_filter", as_cfunction(&function_entry<kRunFilter, dispatch_filter<run_filter<CkfState>, run_filter<SrckfState>>>),
     kKwFlags, kRunFilterDoc},
};

}  // namespace

RunModels arg_run_models(PyObject* obj) {
  PyObject* models = arg_tuple(obj, "models");
  if (PyTuple_Size(models) != 4) fail(Error::value("models must be (fx, fx_args, hx, hx_args)"));
  auto extra = [&](Py_ssize_t k, const char* name) {
    PyObject* v = PyTuple_GetItem(models, k);
    return given(v) ? arg_tuple(v, name) : nullptr;
  };
  return RunModels{PyTuple_GetItem(models, 0), extra(1, "fx_args"), PyTuple_GetItem(models, 2),
                   extra(3, "hx_args")};
}

AngleEntries arg_angle_entries(PyObject* obj, Index n, Index m) {
  AngleEntries angles;
  if (!given(obj)) return angles;
  PyObject* pair = arg_tuple(obj, "angles");
  if (PyTuple_Size(pair) != 2) fail(Error::value("angles must be (angle_states, angle_measurements)"));
  // None: no angles of that kind.
  auto entries = [&](Py_ssize_t k, const char* name, Index bound) {
    PyObject* v = PyTuple_GetItem(pair, k);
    return given(v) ? arg_indices(v, name, bound, true) : std::vector<Index>();
  };
  angles.states = entries(0, "angle_states", n);
  angles.measurements = entries(1, "angle_measurements", m);
  return angles;
}

void add_run(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
