// Loading the NumPy C API table once, on first use (see numpy_api.hpp).
#define VEXEL_NUMPY_API_OWNER
#include "numpy_api.hpp"

namespace vexel::py {

namespace {
bool g_numpy_loaded = false;
}

bool ensure_numpy() {
  if (g_numpy_loaded) return true;
  if (_import_array() < 0) return false;
  g_numpy_loaded = true;
  return true;
}

}  // namespace vexel::py
