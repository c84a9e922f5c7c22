// CubatureKalmanFilter: the methods that run without a model callback, on
// the built-in models: predictions through a user transition matrix or a
// motion model, the AHRS update with its quaternion renormalisation, and
// the name lists of the motion models.
//
// Python names: a "_ckf" suffix means the prediction goes through the
// cubature points (without it, the closed form); update_paper_ahrs is the
// AHRS update.
#include "filter_forms.hpp"

#include "../ckf/ckf_models.hpp"
#include "../kernels/motion_models.hpp"

namespace vexel::py {

using Form = FilterForm<CkfState>;
using CkfInstance = Instance<CkfState>;

namespace {

constexpr const char* kOwner = FilterForm<CkfState>::kClassName;
constexpr Params kPredictStandard{
    "predict_standard_model()", 2, 1, {"model_type", "layout"}, kOwner, {nullptr, "\"blocked\""}};
constexpr Params kPredictStandardThroughPoints{
    "predict_standard_model_ckf()", 2, 1, {"model_type", "layout"}, kOwner, {nullptr, "\"blocked\""}};
constexpr Params kSupportedModels{"supported_standard_models()", 0, 0, {}, kOwner};
constexpr Params kSupportedLayouts{"supported_standard_layouts()", 0, 0, {}, kOwner};
constexpr Params kNormalizeQuaternion{"normalize_quaternion_state()", 0, 0, {}, kOwner};
constexpr Params kPredictLinear{"predict_linear_model()", 1, 1, {"f"}, kOwner};
constexpr Params kPredictLinearThroughPoints{"predict_linear_model_ckf()", 1, 1, {"f"}, kOwner};
constexpr Params kUpdateAhrs{"update_paper_ahrs()", 3, 3, {"z", "sigma_acc2", "sigma_mag2"}, kOwner};

/// The user's transition matrix: shape (dim_x, dim_x) under the name F, and
/// finite, since a NaN or infinity in F would silently poison x and P.
DMatrix transition_argument(const CkfState& s, const ArrayIn& f) {
  DMatrix F = pyarray2_to_dmatrix(f, s.dim_x, s.dim_x, "F");
  require_finite(F, "F");
  return F;
}

/// F of a built-in model from the (model_type, layout) arguments; layout
/// defaults to "blocked" only when omitted (None is a type error).
DMatrix standard_argument(const CkfState& s, PyObject* const* args) {
  const std::string model_type = arg_string(args[0], "model_type");
  const std::string layout = args[1] == nullptr ? std::string("blocked") : arg_string(args[1], "layout");
  return unwrap(standard_transition(s, model_type, layout));
}

Ref new_name_list(const std::array<const char*, 2>& names) {
  // A fresh list per call: callers may mutate what they get.
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) fail_python();
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* item = PyUnicode_FromString(names[i]);
    if (item == nullptr) fail_python();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

Ref ckf_predict_standard_model(CkfInstance& self, PyObject* const* args) {
  const DMatrix F = standard_argument(self.state, args);
  unwrap(predict_linear_closed_form(self.state, F));
  return none();
}

Ref ckf_predict_standard_model_through_points(CkfInstance& self, PyObject* const* args) {
  const DMatrix F = standard_argument(self.state, args);
  unwrap(predict_linear_through_points(self.state, F));
  return none();
}

Ref ckf_predict_linear_model(CkfInstance& self, PyObject* const* args) {
  ArrayIn f = arg_array(args[0], 2, "f");
  const DMatrix F = transition_argument(self.state, f);
  unwrap(predict_linear_closed_form(self.state, F));
  return none();
}

Ref ckf_predict_linear_model_through_points(CkfInstance& self, PyObject* const* args) {
  ArrayIn f = arg_array(args[0], 2, "f");
  const DMatrix F = transition_argument(self.state, f);
  unwrap(predict_linear_through_points(self.state, F));
  return none();
}

Ref ckf_update_ahrs(CkfInstance& self, PyObject* const* args) {
  ArrayIn z_arg = arg_array(args[0], 1, "z");
  const double sigma_acc2 = arg_double(args[1], "sigma_acc2");
  const double sigma_mag2 = arg_double(args[2], "sigma_mag2");
  CkfState& s = self.state;
  // Dimensions and noise levels are judged before the measurement itself.
  unwrap(check_ahrs_setup(s, sigma_acc2, sigma_mag2));
  const DVector z = pyarray1_to_dvector(z_arg, 6, "z");
  require_finite_measurement(z);
  unwrap(update_ahrs(s, z, sigma_acc2, sigma_mag2));
  return none();
}

Ref ckf_normalize_quaternion_state(CkfInstance& self) {
  unwrap(normalize_quaternion_state(self.state));
  return none();
}

PyObject* ckf_supported_standard_models(PyObject* /*cls*/, PyObject* /*unused*/) {
  return boundary([]() -> Ref { return new_name_list(supported_standard_models()); });
}

PyObject* ckf_supported_standard_layouts(PyObject* /*cls*/, PyObject* /*unused*/) {
  return boundary([]() -> Ref { return new_name_list(supported_standard_layouts()); });
}

}  // namespace

template <>
std::vector<PyMethodDef> Form::prediction_methods() {
  using Methods = MethodsOf<CkfState, Form::cls>;
  return {
      {"predict_standard_model", Methods::kw<kWrite, kPredictStandard, ckf_predict_standard_model>(), kKwFlags,
       signature_doc(kPredictStandard, "", true)},
      {"supported_standard_models", as_cfunction(&ckf_supported_standard_models), METH_STATIC | METH_NOARGS,
       signature_doc(kSupportedModels,
                     "Convenience for callers: list of model strings accepted by\n"
                     "predict_standard_model[_ckf]. Lets the Python wrapper validate input\n"
                     "with a friendly error before reaching the backend.",
                     false)},
      {"supported_standard_layouts", as_cfunction(&ckf_supported_standard_layouts), METH_STATIC | METH_NOARGS,
       signature_doc(kSupportedLayouts,
                     "State layouts accepted by predict_standard_model[_ckf], for the same\n"
                     "friendly Python-side validation as supported_standard_models.",
                     false)},
      {"predict_standard_model_ckf", Methods::kw<kWrite, kPredictStandardThroughPoints, ckf_predict_standard_model_through_points>(),
       kKwFlags, signature_doc(kPredictStandardThroughPoints, "", true)},
      {"predict_linear_model", Methods::kw<kWrite, kPredictLinear, ckf_predict_linear_model>(), kKwFlags,
       signature_doc(kPredictLinear, "", true)},
      {"predict_linear_model_ckf", Methods::kw<kWrite, kPredictLinearThroughPoints, ckf_predict_linear_model_through_points>(), kKwFlags,
       signature_doc(kPredictLinearThroughPoints, "", true)},
  };
}

template <>
std::vector<PyMethodDef> Form::update_methods() {
  using Methods = MethodsOf<CkfState, Form::cls>;
  return {
      {"update_paper_ahrs", Methods::kw<kWrite, kUpdateAhrs, ckf_update_ahrs>(), kKwFlags,
       signature_doc(kUpdateAhrs, "", true)},
      {"normalize_quaternion_state", Methods::noargs<kWrite, ckf_normalize_quaternion_state>(), METH_NOARGS,
       signature_doc(kNormalizeQuaternion, "", true)},
  };
}

}  // namespace vexel::py
