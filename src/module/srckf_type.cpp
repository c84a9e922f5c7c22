// SquareRootCubatureKalmanFilter: the class name and docstrings (no methods
// of its own beyond the shared ones), and its class object.
#include "filter_forms.hpp"

#include "../srckf/srckf_ops.hpp"

namespace vexel::py {

template <> const char FilterForm<SrckfState>::kClassName[] = "SquareRootCubatureKalmanFilter";

template <>
const FilterDocs FilterForm<SrckfState>::kDocs{
    // Signature block only: the class has an empty docstring body.
    "SquareRootCubatureKalmanFilter(dim_x, dim_z, dt)\n--\n\n",
    "set_state($self, x, p, q, r)\n--\n\n"
    "Seed the filter from a covariance-space description: equivalent to\n"
    "`set(\"x\", x)`, `set(\"P\", p)`, `set(\"Q\", q)` and `set(\"R\", r)`, in this\n"
    "order, stopping at the first failure (earlier assignments stay). Each\n"
    "covariance is factored once; jitter added there is counted.",
    "set_dt($self, dt)\n--\n\nUpdate the default time step used by predict_custom when no per-call\n"
    "dt is given.",
    "get($self, name)\n--\n\nReturn one field by its Python attribute name, as a fresh numpy array\n"
    "or a Python scalar. Covariances are products of the stored factors.",
    "set($self, name, value)\n--\n\nOverwrite one field by its Python attribute name. Assigning P, Q or R\n"
    "factors it once with `stable_cholesky` and counts any jitter added;\n"
    "the `chol_*` and `S_innov` names set a factor directly, with no\n"
    "factorization. Arrays must be float64 with the field's shape; state\n"
    "and factors must be finite.",
    "load_snapshot($self, state)\n--\n\n"
    "Inverse of `snapshot`: `set` every stored field present in `state`\n"
    "(factors, not their products, so nothing is re-factored). Other keys\n"
    "are ignored and absent fields keep their current values.",
    "copy($self)\n--\n\nIndependent copy of the whole filter, factors and counters included.",
    "record_step($self, i, out)\n--\n\n"
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
