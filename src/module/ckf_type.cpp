// CubatureKalmanFilter: the type object, its constructor and method table.
#include "ckf_module.hpp"

namespace vexel::py {

ClassInfo g_ckf_class{nullptr, "CubatureKalmanFilter"};

namespace {

constexpr Params kNew{"CubatureKalmanFilter.__new__()", 3, 3, {"dim_x", "dim_z", "dt"}};
constexpr Params kSetState{"CubatureKalmanFilter.set_state()", 4, 4, {"x", "p", "q", "r"}};
constexpr Params kSetDt{"CubatureKalmanFilter.set_dt()", 1, 1, {"dt"}};
constexpr Params kPredictStandard{"CubatureKalmanFilter.predict_standard_model()", 2, 1, {"model_type", "layout"}};
constexpr Params kPredictStandardCkf{"CubatureKalmanFilter.predict_standard_model_ckf()", 2, 1,
                                     {"model_type", "layout"}};
constexpr Params kPredictLinear{"CubatureKalmanFilter.predict_linear_model()", 1, 1, {"f"}};
constexpr Params kPredictLinearCkf{"CubatureKalmanFilter.predict_linear_model_ckf()", 1, 1, {"f"}};
constexpr Params kUpdateAhrs{"CubatureKalmanFilter.update_paper_ahrs()", 3, 3, {"z", "sigma_acc2", "sigma_mag2"}};
constexpr Params kGet{"CubatureKalmanFilter.get()", 1, 1, {"name"}};
constexpr Params kSet{"CubatureKalmanFilter.set()", 2, 2, {"name", "value"}};
constexpr Params kPredictCustom{"CubatureKalmanFilter.predict_custom()", 3, 1, {"fx", "dt", "fx_args"}};
constexpr Params kUpdate{"CubatureKalmanFilter.update()", 4, 2, {"z", "hx", "r", "hx_args"}};
constexpr Params kLoadSnapshot{"CubatureKalmanFilter.load_snapshot()", 1, 1, {"state"}};
constexpr Params kRecordStep{"CubatureKalmanFilter.record_step()", 2, 2, {"i", "out"}};

PyObject* ckf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> Ref {
    PyObject* a[kMaxParams] = {};
    parse_args(kNew, args, kwargs, a);
    const std::uint64_t dim_x = arg_u64(a[0], "dim_x");
    const std::uint64_t dim_z = arg_u64(a[1], "dim_z");
    const double dt = arg_double(a[2], "dt");
    return new_instance(type, unwrap(CkfState::create(dim_x, dim_z, dt)));
  });
}

using Methods = MethodsOf<CkfState, g_ckf_class>;
constexpr int kKw = kKwFlags;

PyMethodDef kMethods[] = {
    {"set_state", Methods::kw<kWrite, kSetState, ckf_set_state>(), kKw, "set_state($self, x, p, q, r)\n--\n\n"},
    {"set_dt", Methods::kw<kWrite, kSetDt, ckf_set_dt>(), kKw,
     "set_dt($self, dt)\n--\n\nUpdate the default time step used by predict_standard_model[_ckf]\n"
     "and by predict_custom when no per-call dt is given."},
    {"predict_custom", Methods::kw<kWrite, kPredictCustom, ckf_predict_custom>(), kKw,
     "predict_custom($self, fx, dt=None, fx_args=None)\n--\n\n"},
    {"predict_standard_model", Methods::kw<kWrite, kPredictStandard, ckf_predict_standard_model>(), kKw,
     "predict_standard_model($self, model_type, layout=\"blocked\")\n--\n\n"},
    {"supported_standard_models", as_cfunction(&ckf_supported_standard_models), METH_STATIC | METH_NOARGS,
     "supported_standard_models()\n--\n\nConvenience for callers: list of model strings accepted by\n"
     "predict_standard_model[_ckf]. Lets the Python wrapper validate input\n"
     "with a friendly error before reaching the backend."},
    {"supported_standard_layouts", as_cfunction(&ckf_supported_standard_layouts), METH_STATIC | METH_NOARGS,
     "supported_standard_layouts()\n--\n\nState layouts accepted by predict_standard_model[_ckf], for the same\n"
     "friendly Python-side validation as supported_standard_models."},
    {"predict_standard_model_ckf", Methods::kw<kWrite, kPredictStandardCkf, ckf_predict_standard_model_ckf>(), kKw,
     "predict_standard_model_ckf($self, model_type, layout=\"blocked\")\n--\n\n"},
    {"predict_linear_model", Methods::kw<kWrite, kPredictLinear, ckf_predict_linear_model>(), kKw,
     "predict_linear_model($self, f)\n--\n\n"},
    {"predict_linear_model_ckf", Methods::kw<kWrite, kPredictLinearCkf, ckf_predict_linear_model_ckf>(), kKw,
     "predict_linear_model_ckf($self, f)\n--\n\n"},
    {"clear_update_diagnostics", Methods::noargs<kWrite, ckf_clear_update_diagnostics>(), METH_NOARGS,
     "clear_update_diagnostics($self)\n--\n\nRecord a skipped measurement (`update(z=None)`): clear the innovation\n"
     "and likelihood diagnostics so callers don't re-read stale values, set\n"
     "`z` to NaN, and make the posterior equal the current prior."},
    {"reset_jitter_counters", Methods::noargs<kWrite, ckf_reset_jitter_counters>(), METH_NOARGS,
     "reset_jitter_counters($self)\n--\n\n"},
    {"update", Methods::kw<kWrite, kUpdate, ckf_update>(), kKw, "update($self, z, hx, r=None, hx_args=None)\n--\n\n"},
    {"update_paper_ahrs", Methods::kw<kWrite, kUpdateAhrs, ckf_update_paper_ahrs>(), kKw,
     "update_paper_ahrs($self, z, sigma_acc2, sigma_mag2)\n--\n\n"},
    {"normalize_quaternion_state", Methods::noargs<kWrite, ckf_normalize_quaternion_state>(), METH_NOARGS,
     "normalize_quaternion_state($self)\n--\n\n"},
    {"get", Methods::kw<kRead, kGet, ckf_get>(), kKw,
     "get($self, name)\n--\n\nReturn one field by its Python attribute name, as a fresh numpy array\n"
     "or a Python scalar."},
    {"set", Methods::kw<kWrite, kSet, ckf_set>(), kKw,
     "set($self, name, value)\n--\n\nOverwrite one field by its Python attribute name. Arrays must be\n"
     "float64 with the field's shape; x, P, Q and R must be finite."},
    {"load_snapshot", Methods::kw<kWrite, kLoadSnapshot, ckf_load_snapshot>(), kKw,
     "load_snapshot($self, state)\n--\n\nInverse of `snapshot`: `set` every field present in `state`. Other\n"
     "keys are ignored and absent fields keep their current values, so a\n"
     "partial dict (for example an older `to_dict()` output) loads too."},
    {"copy", Methods::noargs<kRead, ckf_copy>(), METH_NOARGS,
     "copy($self)\n--\n\nIndependent copy of the whole filter, counters included."},
    {"record_step", Methods::kw<kRead, kRecordStep, ckf_record_step>(), kKw,
     "record_step($self, i, out)\n--\n\nWrite row `i` of `run()`'s outputs: x_post, P_post, x_prior, P_prior,\n"
     "log_likelihood and nis, in one call instead of six attribute reads."},
    {"snapshot", Methods::noargs<kRead, ckf_snapshot>(), METH_NOARGS, "snapshot($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "CubatureKalmanFilter(dim_x, dim_z, dt)\n--\n\n"
    "The filter state lives here. The Python wrapper reads fields lazily with\n"
    "`get` and writes them with `set`, so nothing is copied across the FFI\n"
    "boundary unless the user reads or assigns it.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&ckf_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<CkfState>)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kTypeDefinition{"CubatureKalmanFilter", static_cast<int>(sizeof(CkfInstance)), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

Ref ckf_type() {
  if (g_ckf_class.type == nullptr) {
    // The reference is kept for the life of the process.
    g_ckf_class.type = reinterpret_cast<PyTypeObject*>(new_final_class(&kTypeDefinition, "vexel_ckf._native").release());
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(g_ckf_class.type));
}

}  // namespace vexel::py
