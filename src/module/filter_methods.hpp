// The methods both filter forms share, written once over the form's state:
// the constructor, the class object and its method table, the argument
// conversion of predict_custom and update, and the field, copy and
// step-recording methods.
//
// What differs between the forms is declared once here, in FilterForm, and
// defined by each form (src/module/<form>_*.cpp) for its State.
#pragma once

#include "filter_fields.hpp"
#include "record.hpp"

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

namespace vexel::py {

/// The converted arguments of predict_custom(fx, dt=None, fx_args=None),
/// from the three slots at `args`, in parameter order.
struct PredictArguments {
  PredictArguments(PyObject* const* args, double stored_dt)
      : fx(args[0]),
        dt(given(args[1]) ? arg_double(args[1], "dt") : stored_dt),
        fx_args(given(args[2]) ? arg_tuple(args[2], "fx_args") : nullptr) {}

  /// Only a per-call dt can be non-finite: the stored one is checked on entry.
  void require_finite_dt() const {
    if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));
  }

  PyObject* fx;
  double dt;
  PyObject* fx_args;  // a tuple, or nullptr
};

/// The entries that are angles on the circle: indices into x and into z.
/// Empty for the plain steps, which then run unchanged.
struct AngleEntries {
  std::vector<Index> states;
  std::vector<Index> measurements;
};

/// The converted arguments of update(z, hx, r=None, hx_args=None).
struct UpdateArguments {
  PyObject* hx = nullptr;
  PyObject* hx_args = nullptr;  // a tuple, or nullptr
  DVector z;                    // the measurement: right length, finite
  std::optional<DMatrix> r;     // the per-call noise: right shape, finite

  /// Drop the read borrows of the z and r arrays (copied already).
  void release_borrows() {
    z_in_ = ArrayIn();
    r_in_.reset();
  }

  ArrayIn z_in_;
  std::optional<ArrayIn> r_in_;
};

/// The kernel's skipped-measurement step of either form (found by argument
/// lookup, outside the class whose method has the same name).
template <class State>
void clear_diagnostics(State& s) {
  clear_update_diagnostics(s);
}

/// The docstring bodies in which the two forms differ (the signatures come
/// from the parameter lists).
struct FilterDocs {
  const char* type;
  const char* set_state;
  const char* set_dt;
  const char* get;
  const char* set;
  const char* load_snapshot;
  const char* copy;
  const char* record_step;
};

/// Temporaries a form keeps between the steps of one run, so that a whole
/// run allocates nothing per step (defined by each form; the results are
/// the same bits as without them).
template <class State>
struct StepWork;

/// What a filter form defines for its State.
template <class State>
struct FilterForm {
  static const char kClassName[];
  static ClassInfo cls;  // the same for every form (defined below)
  static const FilterDocs kDocs;

  /// The field table (get, set, snapshot, load_snapshot, export).
  static const FilterFields<State>& fields();
  /// The form's own methods after predict_custom and after update.
  static std::vector<PyMethodDef> prediction_methods();
  static std::vector<PyMethodDef> update_methods();
  /// set_state(x, p, q, r) after parsing.
  static void set_state(State& s, PyObject* const* args);
  /// The steps around fx: points, the call, the commit.  Angle states of
  /// the images are unwrapped around their circular mean before the moments
  /// and wrapped in x and x_prior after the commit.
  static void predict_through_model(State& s, PyObject* fx, PyObject* fx_args, double dt,
                                    const AngleEntries& angles) {
    ModelCall model(fx, fx_args, /*pass_dt=*/true);
    predict_with(s, model.get(), dt, angles);
  }
  /// The same with the model of the call already chosen (a whole run's).
  static void predict_with(State& s, PointModel& fx, double dt, const AngleEntries& angles,
                           StepWork<State>* work = nullptr);
  /// Whether update's argument arrays are released before hx runs (so the
  /// callback may do anything with them) or kept until the update ends.
  static bool release_borrows_before_model();
  /// What a per-call r of the wrong shape leaves behind.
  static void noise_shape_error(State& s);
  /// The steps around hx: points, the call, the update.  Images of angle
  /// measurements are unwrapped to within pi of z before the moments (the
  /// innovation goes the short way round); angle states are wrapped in x and
  /// x_post after the update.
  static void update_through_model(State& s, UpdateArguments& a, const AngleEntries& angles) {
    ModelCall model(a.hx, a.hx_args, /*pass_dt=*/false);
    update_with(s, model.get(), a.z, a.r ? &*a.r : nullptr, angles);
  }
  /// The same with the model chosen, the measurement z (finite, dim_z) and
  /// the noise of this update (nullptr: the stored R).
  static void update_with(State& s, PointModel& hx, const DVector& z, const DMatrix* r, const AngleEntries& angles,
                          StepWork<State>* work = nullptr);
  /// record_step after its arguments are converted.
  static void record(const State& s, std::uint64_t i, PyObject* out);
  /// The step's row of a native run's outputs.
  static void store_step(const State& s, Index i, const RunRows& rows);
};

template <class State>
ClassInfo FilterForm<State>::cls{nullptr, FilterForm<State>::kClassName};

/// The parameter lists of the shared methods, named after the form's class.
template <class State>
struct FilterParams {
  static constexpr const char* kOwner = FilterForm<State>::kClassName;
  static constexpr Params kNew{"__new__()", 3, 3, {"dim_x", "dim_z", "dt"}, kOwner};
  static constexpr Params kSetState{"set_state()", 4, 4, {"x", "p", "q", "r"}, kOwner};
  static constexpr Params kSetDt{"set_dt()", 1, 1, {"dt"}, kOwner};
  static constexpr Params kPredictCustom{"predict_custom()", 3, 1, {"fx", "dt", "fx_args"}, kOwner};
  static constexpr Params kUpdate{"update()", 4, 2, {"z", "hx", "r", "hx_args"}, kOwner};
  static constexpr Params kGet{"get()", 1, 1, {"name"}, kOwner};
  static constexpr Params kSet{"set()", 2, 2, {"name", "value"}, kOwner};
  static constexpr Params kLoadSnapshot{"load_snapshot()", 1, 1, {"state"}, kOwner};
  static constexpr Params kRecordStep{"record_step()", 2, 2, {"i", "out"}, kOwner};
  static constexpr Params kCopy{"copy()", 0, 0, {}, kOwner};
  static constexpr Params kSnapshot{"snapshot()", 0, 0, {}, kOwner};
  static constexpr Params kClearDiagnostics{"clear_update_diagnostics()", 0, 0, {}, kOwner};
  static constexpr Params kResetJitter{"reset_jitter_counters()", 0, 0, {}, kOwner};
};


template <class State>
struct FilterMethods {
  using Form = FilterForm<State>;
  using Self = Instance<State>;
  using P = FilterParams<State>;

  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> Ref {
      PyObject* a[kMaxParams] = {};
      parse_args(P::kNew, args, kwargs, a);
      const std::uint64_t dim_x = arg_u64(a[0], "dim_x");
      const std::uint64_t dim_z = arg_u64(a[1], "dim_z");
      const double dt = arg_double(a[2], "dt");
      return new_instance(type, unwrap(State::create(dim_x, dim_z, dt)));
    });
  }

  static Ref get(Self& self, PyObject* const* args) {
    const std::string name = arg_string(args[0], "name");
    return Form::fields().read(self.state, name);
  }

  static Ref set(Self& self, PyObject* const* args) {
    const std::string name = arg_string(args[0], "name");
    Form::fields().write(self.state, name, args[1]);
    return none();
  }

  static Ref set_state(Self& self, PyObject* const* args) {
    Form::set_state(self.state, args);
    return none();
  }

  static Ref set_dt(Self& self, PyObject* const* args) {
    const double dt = arg_double(args[0], "dt");
    if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));
    self.state.dt = dt;
    return none();
  }

  static Ref reset_jitter_counters(Self& self) {
    self.state.reset_jitter_counters();
    return none();
  }

  static Ref snapshot(Self& self) { return Form::fields().snapshot(self.state); }

  static Ref load_snapshot(Self& self, PyObject* const* args) {
    PyObject* state = arg_dict(args[0], "state");
    Form::fields().load_snapshot(self.state, state);
    return none();
  }

  static Ref predict_custom(Self& self, PyObject* const* args) {
    const PredictArguments a(args, self.state.dt);
    a.require_finite_dt();
    Form::predict_through_model(self.state, a.fx, a.fx_args, a.dt, AngleEntries());
    return none();
  }

  static Ref update(Self& self, PyObject* const* args) {
    UpdateArguments a = update_arguments(self.state, args);
    Form::update_through_model(self.state, a, AngleEntries());
    return none();
  }

  /// update's arguments (z, hx, r, hx_args) converted and checked, with the
  /// borrows of z and r released or kept as the form does.
  static UpdateArguments update_arguments(State& s, PyObject* const* args) {
    UpdateArguments a;
    // Conversions in parameter order, then the measurement (length,
    // contiguity, finiteness), then the per-call noise, all before the state
    // changes.  A NaN or infinity in r would spread into x and P through the
    // innovation covariance and the gain, so it is refused like a stored R.
    a.z_in_ = arg_array(args[0], 1, "z");
    a.hx = args[1];
    if (given(args[2])) a.r_in_ = arg_array(args[2], 2, "r");
    if (given(args[3])) a.hx_args = arg_tuple(args[3], "hx_args");
    a.z = pyarray1_to_dvector(a.z_in_, s.dim_z, "z");
    require_finite_measurement(a.z);
    if (a.r_in_) {
      try {
        a.r = pyarray2_to_dmatrix(*a.r_in_, s.dim_z, s.dim_z, "R");
      } catch (const Error&) {
        Form::noise_shape_error(s);
        throw;
      }
      require_finite(*a.r, "R");
    }
    if (Form::release_borrows_before_model()) a.release_borrows();
    return a;
  }

  static Ref clear_update_diagnostics(Self& self) {
    clear_diagnostics(self.state);
    return none();
  }

  static Ref copy(Self& self) {
    State twin = self.state;
    return new_instance(Form::cls.type, std::move(twin));
  }

  static Ref record_step(Self& self, PyObject* const* args) {
    const std::uint64_t i = arg_u64(args[0], "i");
    PyObject* out = arg_tuple(args[1], "out");
    Form::record(self.state, i, out);
    return none();
  }

  /// The method table: the shared methods with the form's docs, the form's
  /// extra predictions after predict_custom and extra updates after update.
  static PyMethodDef* table() {
    static std::vector<PyMethodDef> methods = build_table();
    return methods.data();
  }

  /// The class object, created on first use; returns a new reference.
  static Ref class_object() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<State>)},
        {Py_tp_doc, nullptr},
        {Py_tp_methods, nullptr},
        {0, nullptr},
    };
    static PyType_Spec definition{Form::kClassName, static_cast<int>(sizeof(Self)), 0, Py_TPFLAGS_DEFAULT, slots};
    slots[2].pfunc = const_cast<char*>(signature_doc(P::kNew, Form::kDocs.type, false));
    slots[3].pfunc = table();
    return vexel::py::class_object(Form::cls, &definition, "vexel_ckf._native");
  }

 private:
  using Methods = MethodsOf<State, Form::cls>;

  static std::vector<PyMethodDef> build_table() {
    const FilterDocs& d = Form::kDocs;
    std::vector<PyMethodDef> t = {
        {"set_state", Methods::template kw<kWrite, P::kSetState, set_state>(), kKwFlags,
         signature_doc(P::kSetState, d.set_state, true)},
        {"set_dt", Methods::template kw<kWrite, P::kSetDt, set_dt>(), kKwFlags, signature_doc(P::kSetDt, d.set_dt, true)},
        {"predict_custom", Methods::template kw<kWrite, P::kPredictCustom, predict_custom>(), kKwFlags,
         signature_doc(P::kPredictCustom, "", true)},
    };
    for (const PyMethodDef& m : Form::prediction_methods()) t.push_back(m);
    t.push_back({"clear_update_diagnostics", Methods::template noargs<kWrite, clear_update_diagnostics>(),
                 METH_NOARGS,
                 signature_doc(P::kClearDiagnostics,
                               "Record a skipped measurement (`update(z=None)`): clear the innovation\n"
                               "and likelihood diagnostics so callers don't re-read stale values, set\n"
                               "`z` to NaN, and make the posterior equal the current prior.",
                               true)});
    t.push_back({"reset_jitter_counters", Methods::template noargs<kWrite, reset_jitter_counters>(), METH_NOARGS,
                 signature_doc(P::kResetJitter, "", true)});
    t.push_back({"update", Methods::template kw<kWrite, P::kUpdate, update>(), kKwFlags,
                 signature_doc(P::kUpdate, "", true)});
    for (const PyMethodDef& m : Form::update_methods()) t.push_back(m);
    const PyMethodDef rest[] = {
        {"get", Methods::template kw<kRead, P::kGet, get>(), kKwFlags, signature_doc(P::kGet, d.get, true)},
        {"set", Methods::template kw<kWrite, P::kSet, set>(), kKwFlags, signature_doc(P::kSet, d.set, true)},
        {"load_snapshot", Methods::template kw<kWrite, P::kLoadSnapshot, load_snapshot>(), kKwFlags,
         signature_doc(P::kLoadSnapshot, d.load_snapshot, true)},
        {"copy", Methods::template noargs<kRead, copy>(), METH_NOARGS, signature_doc(P::kCopy, d.copy, true)},
        {"record_step", Methods::template kw<kRead, P::kRecordStep, record_step>(), kKwFlags,
         signature_doc(P::kRecordStep, d.record_step, true)},
        {"snapshot", Methods::template noargs<kRead, snapshot>(), METH_NOARGS, signature_doc(P::kSnapshot, "", true)},
        {nullptr, nullptr, 0, nullptr},
    };
    t.insert(t.end(), std::begin(rest), std::end(rest));
    return t;
  }
};

}  // namespace vexel::py
