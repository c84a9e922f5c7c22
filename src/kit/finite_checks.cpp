// Finiteness checks (see finite_checks.hpp).
#include "finite_checks.hpp"

#include "errors.hpp"
#include "number_format.hpp"

#include <algorithm>

namespace vexel::py {

void require_finite(const double* values, Index count, const std::string& name) {
  for (Index i = 0; i < count; ++i) {
    if (!is_finite(values[i])) fail(Error::value(name + " must contain only finite values"));
  }
}

void require_finite_measurement(const DVector& z) {
  for (Index i = 0; i < z.size(); ++i) {
    if (!is_finite(z[i])) {
      fail(Error::value("z contains non-finite values: " + format_value_list(z.data(), z.size()) +
                        ". A NaN/inf measurement would silently corrupt the filter state. For a missed "
                        "measurement skip this update; update() also accepts z=None, which skips the step "
                        "and clears the innovation diagnostics."));
    }
  }
}

bool all_finite(const ArrayIn& a) {
  const int nd = a.ndim();
  const npy_intp d0 = nd >= 1 ? a.dim(0) : 1;
  const npy_intp d1 = nd >= 2 ? a.dim(1) : 1;
  const npy_intp d2 = nd >= 3 ? a.dim(2) : 1;
  for (npy_intp i = 0; i < d0; ++i) {
    for (npy_intp j = 0; j < d1; ++j) {
      for (npy_intp k = 0; k < d2; ++k) {
        const double v = nd == 1 ? a.at(i) : nd == 2 ? a.at(i, j) : a.at(i, j, k);
        if (!is_finite(v)) return false;
      }
    }
  }
  return true;
}

std::optional<npy_intp> first_non_finite_step(const ArrayIn& a) {
  const int nd = a.ndim();
  // A broadcast stack (stride 0) holds one step for all: its first bad
  // step, if any, is step 0, and scanning the others would only repeat it.
  const npy_intp steps = a.stride(0) == 0 ? std::min<npy_intp>(a.dim(0), 1) : a.dim(0);
  const npy_intp d1 = a.dim(1);
  const npy_intp d2 = nd == 3 ? a.dim(2) : 1;
  const npy_intp per_step = d1 * d2;
  if (steps == 0 || per_step == 0) return std::nullopt;
  // Fast path for C-contiguous data: one linear scan, the step follows from
  // the offset of the first bad value.
  if (PyArray_IS_C_CONTIGUOUS(a.array())) {
    const char* p = a.data();
    const npy_intp total = steps * per_step;
    for (npy_intp i = 0; i < total; ++i) {
      if (!is_finite(load_double(p + i * static_cast<npy_intp>(sizeof(double))))) return i / per_step;
    }
    return std::nullopt;
  }
  for (npy_intp s = 0; s < steps; ++s) {
    for (npy_intp i = 0; i < d1; ++i) {
      for (npy_intp j = 0; j < d2; ++j) {
        const double v = nd == 3 ? a.at(s, i, j) : a.at(s, i);
        if (!is_finite(v)) return s;
      }
    }
  }
  return std::nullopt;
}

}  // namespace vexel::py
