// cubature_smooth(): argument conversion and validation with the messages
// naming each argument and step, the user's fx run from the native backward
// pass, and the result arrays.
#include "engine_smoother.hpp"

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"

#include "../kernels/storage.hpp"
#include "../smoother/cubature_smoother.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexel::py {

namespace {


/// " (smoother step k)", or " (smoother steps a to b)" for a call that
/// served several.
std::string steps_text(Index first, Index count) {
  if (count == 1) return " (smoother step " + std::to_string(first) + ")";
  return " (smoother steps " + std::to_string(first) + " to " + std::to_string(first + count - 1) + ")";
}

/// Attaches "raised by fx in cubature_smooth() at smoother step k ..." to the
/// pending exception.
void add_step_note(Index first, Index count) {
  const Index last = first + count - 1;
  add_note_to_pending(
      count == 1 ? "raised by fx in cubature_smooth() at smoother step " + std::to_string(first) + " (the transition " +
                       std::to_string(first) + " -> " + std::to_string(first + 1) + ")"
                 : "raised by fx in cubature_smooth() at smoother steps " + std::to_string(first) + " to " +
                       std::to_string(last) + " (the transitions " + std::to_string(first) + " -> " +
                       std::to_string(first + 1) + " to " + std::to_string(last) + " -> " +
                       std::to_string(last + 1) + ")");
}

/// The user's fx, called with all 2n points of a step, as the filters'
/// predict calls it, or with those of several steps stacked.
class PythonTransition final : public smoother::PointTransition {
 public:
  PythonTransition(PyObject* fx, PyObject* fx_args, Index n) : fx_(fx), fx_args_(fx_args), n_(n) {}

  Status propagate(Index first, Index count, const DMatrix& points, double dt, DMatrix& images) override {
    try {
      PythonModel model(fx_, fx_args_, /*pass_dt=*/true);
      images = evaluate_points(model, points, dt, n_, /*pass_dt=*/true, /*check_finite=*/false);
      // Non-finite images are reported for the step the pass reaches first
      // (the last), by their row within that step's point set.
      const Index rows = 2 * n_;
      for (Index s = count - 1; s >= 0; --s) {
        const Index bad = first_non_finite_row(images, s * rows, (s + 1) * rows);
        if (bad < (s + 1) * rows) {
          Error e = non_finite_model_output(true, bad - s * rows);
          e.message += steps_text(first + s, 1);
          return e;
        }
      }
    } catch (Error& e) {
      if (e.kind == ErrorKind::PythonSet) {
        add_step_note(first, count);
      } else {
        e.message += steps_text(first, count);
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

// The arrays of cubature_smooth: the filtered trace binds the sizes; the
// Python layer broadcasts one Q or dt to a stack of N, a caller may also give
// N-1 (one per transition).
namespace smoother_arrays {
enum { kSteps, kDimX };
constexpr ArrayDim kDims[] = {
    {"N", "xs must contain at least one filtered state"},
    {"dim_x", "xs second dimension must be positive"},
};
constexpr ArrayDecl kArrays[] = {
    {"xs", 2, {{kSteps}, {kDimX}}, nullptr, ArrayDecl::kSemicolon,
     "xs contains non-finite values (NaN or inf) at step {step}", nullptr, 0},
    {"ps", 3, {{kSteps}, {kDimX}, {kDimX}}, "Ps", ArrayDecl::kComma,
     "Ps contains non-finite values (NaN or inf) at step {step}", nullptr, 1},
    {"qs", 3, {{kSteps, Axis::kOrOneLess}, {kDimX}, {kDimX}}, "Q", ArrayDecl::kSemicolon,
     "Q contains non-finite values (NaN or inf) in entry {entry}",
     "Q must have shape ({dim_x}, {dim_x}), (N, {dim_x}, {dim_x}) or (N-1, {dim_x}, {dim_x}) with N = {N}; got {shape}",
     3},
    {"dts", 1, {{kSteps, Axis::kOrOneLess}}, "dt", ArrayDecl::kSemicolon, "dt must be finite; entry {entry} is {value}",
     "dt must be one value or have shape (N,) or (N-1,) with N = {N}; got {shape}", 4},
};
}  // namespace smoother_arrays

/// The angle states, in ascending order (None: none).
std::vector<Index> angle_indices(PyObject* obj, npy_intp dim_x) {
  if (obj == nullptr || obj == Py_None) return {};
  std::vector<Index> v = arg_indices(obj, "angle_states", dim_x, true);
  std::sort(v.begin(), v.end());
  return v;
}

constexpr Params kCubatureSmooth{"cubature_smooth()",
                                 9,
                                 5,
                                 {"xs", "ps", "fx", "qs", "dts", "fx_args", "square_root", "angle_states",
                                  "steps_per_call"},
                                 nullptr,
                                 {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "False", nullptr, "1"}};

Ref cubature_smooth_body(PyObject* const* args) {
  using namespace smoother_arrays;
  ArrayArgs arrays(kArrays, kDims, args);
  PyObject* fx = args[2];
  PyObject* fx_args = (args[5] == nullptr || args[5] == Py_None) ? nullptr : arg_tuple(args[5], "fx_args");
  bool square_root = false;
  if (args[6] != nullptr) {
    const int truth = PyObject_IsTrue(args[6]);
    if (truth < 0) fail_python();
    square_root = truth == 1;
  }
  std::uint64_t steps_per_call = 1;
  if (given(args[8])) {
    steps_per_call = arg_u64(args[8], "steps_per_call");
    if (steps_per_call == 0) fail(Error::value("steps_per_call must be at least 1, got 0"));
  }

  // Shapes, in argument order, then the angle indices.
  arrays.check_shapes();
  const npy_intp steps = arrays.dim(kSteps);
  const npy_intp n = arrays.dim(kDimX);
  const std::vector<Index> angles = angle_indices(args[7], n);
  // More than the pass has steps changes nothing.
  const auto per_call = static_cast<std::uint64_t>(std::max<npy_intp>(1, std::min<npy_intp>(
      steps - 1, static_cast<npy_intp>(std::min<std::uint64_t>(steps_per_call, std::uint64_t{1} << 40)))));

  // Memory, then finiteness (a possibly huge broadcast view is scanned last).
  check_shape_fits({steps, n, n});
  const auto un = static_cast<std::uint64_t>(n);
  const auto usteps = static_cast<std::uint64_t>(steps);
  // Outputs, the workspace, and one call's points, images and factors.
  unwrap(check_storage({{usteps, un}, {usteps, un * un}, {usteps, un * un}, {square_root ? usteps : 0, un * un},
                        {4 * un, un}, {per_call, 5 * un * un}}));
  arrays.check_finite();
  const ArrayIn& xs = arrays[0];
  const ArrayIn& ps = arrays[1];
  const ArrayIn& qs = arrays[2];
  const ArrayIn& dts = arrays[3];

  const npy_intp xdims[2] = {steps, n};
  const npy_intp pdims[3] = {steps, n, n};
  // Every entry is written by the pass except the last gain, zeroed here.
  Ref xs_out = new_array(2, xdims);
  Ref ps_out = new_array(3, pdims);
  Ref gains_out = new_array(3, pdims);
  Ref chol_out = square_root ? new_array(3, pdims) : none();
  std::fill_n(array_data(gains_out) + (steps - 1) * n * n, n * n, 0.0);

  smoother::CubatureSmootherInputs in;
  in.xs = view_of(xs);
  in.ps = view_of(ps);
  in.qs = view_of(qs);
  in.dts = view_of(dts);
  in.angle_states = angles;
  in.square_root = square_root;
  in.steps_per_call = static_cast<Index>(per_call);
  const smoother::CubatureSmootherOutputs out{array_data(xs_out), array_data(ps_out), array_data(gains_out),
                                              square_root ? array_data(chol_out) : nullptr};
  if (const CompiledModelState* model = compiled_model(fx)) {
    // A compiled fx needs no interpreter: the whole pass runs without the lock.
    ModelCall call(fx, fx_args, /*pass_dt=*/true);
    check_model_dims(*model, static_cast<Index>(n), static_cast<Index>(n));
    CompiledTransition transition(*model, call.bound(), static_cast<Index>(n));
    Status status = Status::success();
    without_lock([&] { status = smoother::run_cubature_smoother(in, transition, out); });
    unwrap(status);
  } else {
    PythonTransition transition(fx, fx_args, static_cast<Index>(n));
    unwrap(smoother::run_cubature_smoother(in, transition, out));
  }

  Ref result = Ref::steal(PyTuple_New(4));
  if (!result) fail_python();
  Ref* items[4] = {&xs_out, &ps_out, &gains_out, &chol_out};
  for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SetItem(result.get(), i, items[i]->release());
  return result;
}

const char* const kCubatureSmoothDoc = signature_doc(kCubatureSmooth, ""
    "Cubature Rauch-Tung-Striebel smoother over a filtered trace of a nonlinear model.\n"
    "\n"
    "Inputs:\n"
    "  xs: (N, dim_x) -- filtered means\n"
    "  ps: (N, dim_x, dim_x) -- filtered covariances\n"
    "  fx: fx(X, dt, *fx_args), called once per step with all 2 dim_x cubature points\n"
    "    (with steps_per_call > 1: once for up to that many consecutive steps with\n"
    "    the same dt, their points stacked in step order)\n"
    "  qs: (N, dim_x, dim_x) or (N-1, dim_x, dim_x) -- per-step process noise\n"
    "  dts: (N,) or (N-1,) -- per-step time steps\n"
    "  angle_states: tuple of indices of states that are angles (differences\n"
    "    taken the short way round, results wrapped to (-pi, pi])\n"
    "\n"
    "With length N, entry k is the k-1 -> k transition (entry 0 unused); with\n"
    "length N-1, entry k is the k -> k+1 transition.\n"
    "\n"
    "Returns (xs_smooth, Ps_smooth, gains, chol_Ps); gains[N-1] is zero and\n"
    "chol_Ps is None unless square_root is true, in which case the smoothed\n"
    "factors come from QR triangularisations and Ps_smooth = chol_Ps chol_Ps^T.", false);

PyMethodDef kSmootherFunctions[] = {
    {"cubature_smooth", as_cfunction(&function_entry<kCubatureSmooth, cubature_smooth_body>), kKwFlags,
     kCubatureSmoothDoc},
};

}  // namespace

Status CompiledTransition::propagate(Index first, Index count, const DMatrix& points, double dt, DMatrix& images) {
  const Index rows = 2 * n_;
  in_.resize(static_cast<std::size_t>(rows * n_));
  out_.resize(in_.size());
  images.resize(count * rows, n_);
  for (Index s = 0; s < count; ++s) {
    RowMap(in_.data(), rows, n_) = points.middleRows(s * rows, rows);
    const int code = call_(in_.data(), out_.data(), rows, n_, n_, dt);
    if (code != 0) {
      model_fault_ = true;
      Error e = model_failed(model_, code);
      e.message += steps_text(first + s, 1);
      return e;
    }
    images.middleRows(s * rows, rows) = RowMap(out_.data(), rows, n_);
    const Index bad = first_non_finite_row(images, s * rows, (s + 1) * rows);
    if (bad < (s + 1) * rows) {
      model_fault_ = true;
      Error e = non_finite_model_output(true, bad - s * rows);
      e.message += steps_text(first + s, 1);
      return e;
    }
  }
  return Status::success();
}

void add_smoother(PyObject* module) {
  for (PyMethodDef& def : kSmootherFunctions) {
    add_export(module, def.ml_name, new_module_function(&def, module));
  }
}

}  // namespace vexel::py
