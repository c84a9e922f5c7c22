// SquareRootCubatureKalmanFilter: the class name and docstrings (no methods
// of its own beyond the shared ones), and its class object.
#include "filter_forms.hpp"

#include "../srckf/srckf_ops.hpp"

namespace vexel::py {

template <> const char FilterForm<SrckfState>::kClassName[] = "SquareRootCubatureKalmanFilter";

template <>
const FilterDocs FilterForm<SrckfState>::kDocs{
    // The class has no docstring body, only its signature.
    "",
    "Seed the filter from a covariance-space description: equivalent to\n"
    "`set(\"x\", x)`, `set(\"P\", p)`, `set(\"Q\", q)` and `set(\"R\", r)`, in this\n"
    "order, stopping at the first failure (earlier assignments stay). Each\n"
    "covariance is factored once; jitter added there is counted.",
    "Update the default time step used by predict_custom when no per-call\n"
    "dt is given.",
    "Return one field by its Python attribute name, as a fresh numpy array\n"
    "or a Python scalar. Covariances are products of the stored factors.",
    "Overwrite one field by its Python attribute name. Assigning P, Q or R\n"
    "factors it once with `stable_cholesky` and counts any jitter added;\n"
    "the `chol_*` and `S_innov` names set a factor directly, with no\n"
    "factorization. Arrays must be float64 with the field's shape; state\n"
    "and factors must be finite.",
    "Inverse of `snapshot`: `set` every stored field present in `state`\n"
    "(factors, not their products, so nothing is re-factored). Other keys\n"
    "are ignored and absent fields keep their current values.",
    "Independent copy of the whole filter, factors and counters included.",
    "Write row `i` of `run()`'s outputs (see the CKF method of the same\n"
    "name); P_post and P_prior are products of their factors.",
};

template <>
std::vector<PyMethodDef> FilterForm<SrckfState>::prediction_methods() {
  return {};
}

template <>
std::vector<PyMethodDef> FilterForm<SrckfState>::update_methods() {
  return {};
}

Ref srckf_type() { return FilterMethods<SrckfState>::class_object(); }
Ref srckf_field_table() { return FilterForm<SrckfState>::fields().table(); }

}  // namespace vexel::py
