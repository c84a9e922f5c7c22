// NumPy C API access for the binding layer: the API table, loaded once.
//
// The API table is fetched lazily, on the first array conversion, so that
// importing the extension does not import NumPy's C core.  NumPy's own
// loader looks in `numpy._core` first (NumPy 2) and falls back to
// `numpy.core` (NumPy 1.x), so one build serves both.
#pragma once

#include "python_api.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL vexel_ckf_ARRAY_API
#ifndef VEXEL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The oldest NumPy C API the module needs; pinned so that newer build-time
// headers do not silently raise the runtime floor.
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

namespace vexel::py {

/// Make sure the NumPy C API table is loaded; false with a Python error set
/// when NumPy cannot be imported.
bool ensure_numpy();

}  // namespace vexel::py
