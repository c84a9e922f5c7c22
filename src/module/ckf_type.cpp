// CubatureKalmanFilter: the class name and docstrings, and its class object.
#include "filter_forms.hpp"

#include "../ckf/ckf_ops.hpp"

namespace vexel::py {

template <> const char FilterForm<CkfState>::kClassName[] = "CubatureKalmanFilter";

template <>
const FilterDocs FilterForm<CkfState>::kDocs{
    "The filter state lives here. The Python wrapper reads fields lazily with\n"
    "`get` and writes them with `set`, so nothing is copied across the FFI\n"
    "boundary unless the user reads or assigns it.",
    "",
    "Update the default time step used by predict_standard_model[_ckf]\n"
    "and by predict_custom when no per-call dt is given.",
    "Return one field by its Python attribute name, as a fresh numpy array\n"
    "or a Python scalar.",
    "Overwrite one field by its Python attribute name. Arrays must be\n"
    "float64 with the field's shape; x, P, Q and R must be finite.",
    "Inverse of `snapshot`: `set` every field present in `state`. Other\n"
    "keys are ignored and absent fields keep their current values, so a\n"
    "partial dict (for example an older `to_dict()` output) loads too.",
    "Independent copy of the whole filter, counters included.",
    "Write row `i` of `run()`'s outputs: x_post, P_post, x_prior, P_prior,\n"
    "log_likelihood and nis, in one call instead of six attribute reads.",
};

Ref ckf_type() { return FilterMethods<CkfState>::class_object(); }
Ref ckf_field_table() { return FilterForm<CkfState>::fields().table(); }

}  // namespace vexel::py
