// Module initialisation: the only exported symbol is PyInit__native.
#include "batch_functions.hpp"
#include "filter_forms.hpp"

#include "../kit/kit.hpp"

namespace vexel::py {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;

Ref create_module() {
  // 1. One interpreter per process: the type objects are process-wide.
  require_first_interpreter("vexel_ckf._native");
  // 2. A second import in the same interpreter yields the same object.
  if (g_module != nullptr) return Ref::borrow(g_module);
  // 3. The module itself.
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) fail_python();
  // 4. Classes and functions, in the order of __all__.
  add_export(module.get(), "CubatureKalmanFilter", ckf_type());
  add_export(module.get(), "SquareRootCubatureKalmanFilter", srckf_type());
  add_export(module.get(), "rts_smooth", rts_smooth_function(module.get()));
  add_export(module.get(), "batch_filter_linear", batch_filter_linear_function(module.get()));
  add_export(module.get(), "batch_parallel_step", batch_parallel_step_function(module.get()));
  // 5. Cache for later imports.
  g_module = module.get();
  Py_INCREF(g_module);
  return module;
}

}  // namespace

}  // namespace vexel::py

PyMODINIT_FUNC PyInit__native(void) {
  return vexel::py::boundary([]() { return vexel::py::create_module(); });
}
