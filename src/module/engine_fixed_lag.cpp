// fixed_lag_window() and its functions: the window of the online fixed-lag
// smoother (src/smoother/fixed_lag.hpp) held by a capsule, one push per
// filter step with the user's fx (Python or compiled) carrying the previous
// step's points, and the flush at the end of a stream.
#include "engine_fixed_lag.hpp"

#include "engine_smoother.hpp"

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"

#include "../smoother/fixed_lag.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexel::py {

namespace {

constexpr const char* kCapsuleName = "vexel_ckf._engine.FixedLagWindow";

/// The window and the flag of a push in progress: a Python fx may let
/// another thread in, which must not step the same window meanwhile.
struct Handle {
  smoother::FixedLagWindow window;
  bool busy = false;
};

void destroy_handle(PyObject* capsule) {
  delete static_cast<Handle*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

Handle& arg_window(PyObject* obj) {
  if (obj == nullptr || PyCapsule_IsValid(obj, kCapsuleName) == 0) {
    fail(Error::type("window must be a window made by fixed_lag_window(), got " + type_name(obj)));
  }
  return *static_cast<Handle*>(PyCapsule_GetPointer(obj, kCapsuleName));
}

class InUse {
 public:
  explicit InUse(Handle& h) : h_(h) {
    if (h_.busy) fail(Error::runtime("the fixed-lag window is in use by another call (one step at a time)"));
    h_.busy = true;
  }
  ~InUse() { h_.busy = false; }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;

 private:
  Handle& h_;
};

/// The user's Python fx on one step's points, as the smoother calls it.
class PythonStepTransition final : public smoother::PointTransition {
 public:
  PythonStepTransition(PyObject* fx, PyObject* fx_args, Index n) : fx_(fx), fx_args_(fx_args), n_(n) {}

  Status propagate(Index first, Index /*count*/, const DMatrix& points, double dt, DMatrix& images) override {
    try {
      PythonModel model(fx_, fx_args_, /*pass_dt=*/true);
      evaluate_points(model, points, dt, n_, /*pass_dt=*/true, images, /*check_finite=*/false);
      const Index bad = first_non_finite_row(images, 0, images.rows());
      if (bad < images.rows()) {
        Error e = non_finite_model_output(true, bad);
        e.message += " (smoother step " + std::to_string(first) + ")";
        return e;
      }
    } catch (Error& e) {
      if (e.kind == ErrorKind::PythonSet) {
        add_note_to_pending("raised by fx in fixed_lag_push() at smoother step " + std::to_string(first) +
                            " (the transition " + std::to_string(first) + " -> " + std::to_string(first + 1) + ")");
      } else {
        e.message += " (smoother step " + std::to_string(first) + ")";
      }
      return std::move(e);
    }
    return Status::success();
  }

 private:
  PyObject* fx_;
  PyObject* fx_args_;
  Index n_;
};

/// A vector of n or an n by n matrix argument, copied in C order.
std::vector<double> arg_values(PyObject* obj, const char* name, int ndim, Index n) {
  const ArrayIn a = arg_array(obj, ndim, name);
  for (int d = 0; d < ndim; ++d) {
    if (a.dim(d) != n) {
      fail(Error::value(std::string(name) + " must have shape " + (ndim == 1 ? "(" + std::to_string(n) + ",)"
                                                                            : "(" + std::to_string(n) + ", " +
                                                                                  std::to_string(n) + ")") +
                        ", got " + shape_text(a)));
    }
  }
  std::vector<double> v(static_cast<std::size_t>(ndim == 1 ? n : n * n));
  if (ndim == 1) {
    for (Index i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = a.at(i);
  } else {
    for (Index i = 0; i < n; ++i)
      for (Index j = 0; j < n; ++j) v[static_cast<std::size_t>(i * n + j)] = a.at(i, j);
  }
  return v;
}

constexpr Params kWindow{"fixed_lag_window()", 4, 3, {"dim_x", "lag", "square_root", "angle_states"}};

Ref window_body(PyObject* const* args) {
  const std::uint64_t n = arg_u64(args[0], "dim_x");
  if (n == 0 || n > (std::uint64_t{1} << 20)) fail(Error::value("dim_x must be positive, got " + std::to_string(n)));
  // A lag beyond any stream changes nothing: the window grows with the
  // steps pushed, up to lag + 1.
  const std::uint64_t lag = std::min<std::uint64_t>(arg_u64(args[1], "lag"), std::uint64_t{1} << 40);
  const int truth = PyObject_IsTrue(args[2]);
  if (truth < 0) fail_python();
  std::vector<Index> angles;
  if (given(args[3])) angles = arg_indices(args[3], "angle_states", static_cast<std::int64_t>(n), true);
  std::sort(angles.begin(), angles.end());
  auto* handle = new Handle{smoother::FixedLagWindow(static_cast<Index>(n), static_cast<Index>(lag), truth == 1,
                                                     std::move(angles)),
                            false};
  Ref capsule = Ref::steal(PyCapsule_New(handle, kCapsuleName, &destroy_handle));
  if (!capsule) {
    delete handle;
    fail_python();
  }
  return capsule;
}

constexpr Params kPush{"fixed_lag_push()", 7, 5, {"window", "x", "p", "q", "fx", "fx_args", "dt"}};

Ref push_body(PyObject* const* args) {
  Handle& h = arg_window(args[0]);
  InUse in_use(h);
  smoother::FixedLagWindow& w = h.window;
  const Index n = w.dim();
  const std::vector<double> x = arg_values(args[1], "x", 1, n);
  const std::vector<double> P = arg_values(args[2], "P", 2, n);
  const std::vector<double> q = arg_values(args[3], "Q", 2, n);
  PyObject* fx = args[4];
  PyObject* fx_args = given(args[5]) ? arg_tuple(args[5], "fx_args") : nullptr;
  const double dt = given(args[6]) ? arg_double(args[6], "dt") : 0.0;
  if (const CompiledModelState* model = compiled_model(fx)) {
    ModelCall call(fx, fx_args, /*pass_dt=*/true);
    check_model_dims(*model, n, n);
    CompiledTransition transition(*model, call.bound(), n);
    unwrap(w.push_through(transition, dt, x.data(), P.data(), q.data()));
  } else {
    if (PyCallable_Check(fx) == 0) fail(Error::type("fx must be callable or a compiled model, got " + type_name(fx)));
    PythonStepTransition transition(fx, fx_args, n);
    unwrap(w.push_through(transition, dt, x.data(), P.data(), q.data()));
  }
  if (w.steps() <= w.lag()) return none();
  const npy_intp vdims[1] = {n};
  const npy_intp mdims[2] = {n, n};
  Ref xs = new_array(1, vdims);
  Ref Ps = new_array(2, mdims);
  unwrap(w.smooth(w.lag(), array_data(xs), array_data(Ps), false));
  return tuple_of({&xs, &Ps});
}

constexpr Params kFlush{"fixed_lag_flush()", 1, 1, {"window"}};

Ref flush_body(PyObject* const* args) {
  Handle& h = arg_window(args[0]);
  InUse in_use(h);
  smoother::FixedLagWindow& w = h.window;
  const Index n = w.dim();
  const Index rows = std::min(w.lag(), w.steps());
  const npy_intp vdims[2] = {rows, n};
  const npy_intp mdims[3] = {rows, n, n};
  Ref xs = new_array(2, vdims);
  Ref Ps = new_array(3, mdims);
  if (rows > 0) unwrap(w.smooth(rows - 1, array_data(xs), array_data(Ps), true));
  return tuple_of({&xs, &Ps});
}

constexpr Params kInfo{"fixed_lag_info()", 1, 1, {"window"}};

Ref info_body(PyObject* const* args) {
  Handle& h = arg_window(args[0]);
  Ref steps = new_u64(static_cast<std::uint64_t>(h.window.steps()));
  Ref bytes = new_u64(static_cast<std::uint64_t>(h.window.bytes()));
  return tuple_of({&steps, &bytes});
}

const char* const kWindowDoc = signature_doc(kWindow, ""
    "A fixed-lag smoothing window for dim_x states and the given lag (an\n"
    "opaque handle): it holds the last lag + 1 filtered steps and the\n"
    "smoother's predictions and gains of all but the newest.", false);
const char* const kPushDoc = signature_doc(kPush, ""
    "Add the next filtered step (x, P as the filter recorded them) to the\n"
    "window: the previous step's cubature points go through fx(X, dt,\n"
    "*fx_args) (the transition into this step, with process noise Q). Returns\n"
    "the smoothed (x, P) of the step lag steps back given every step pushed,\n"
    "or None while fewer than lag + 1 steps are in.", false);
const char* const kFlushDoc = signature_doc(kFlush, ""
    "The smoothed (xs, Ps) of the last min(lag, steps) steps given every\n"
    "step pushed, oldest first: the estimates no push has returned yet.", false);
const char* const kInfoDoc = signature_doc(kInfo, "(steps pushed, bytes held by the window).", false);

PyMethodDef kFunctions[] = {
    {"fixed_lag_window", as_cfunction(&function_entry<kWindow, window_body>), kKwFlags, kWindowDoc},
    {"fixed_lag_push", as_cfunction(&function_entry<kPush, push_body>), kKwFlags, kPushDoc},
    {"fixed_lag_flush", as_cfunction(&function_entry<kFlush, flush_body>), kKwFlags, kFlushDoc},
    {"fixed_lag_info", as_cfunction(&function_entry<kInfo, info_body>), kKwFlags, kInfoDoc},
};

}  // namespace

void add_fixed_lag(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
