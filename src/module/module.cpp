// Module initialisation: the only exported symbol is PyInit__native.
#include "batch_functions.hpp"
#include "ckf_module.hpp"
#include "frame.hpp"
#include "srckf_module.hpp"

#include <cstdint>

namespace vexel::py {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;

/// Append `name` to the module's __all__ (created on first use), then set the
/// attribute.  PyModule_AddObject steals only on success.
void add_export(PyObject* module, const char* name, Ref obj) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail_python();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) fail_python();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) fail_python();
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) fail_python();
  if (PyModule_AddObject(module, name, obj.get()) < 0) fail_python();
  obj.release();  // stolen by the module
}

Ref create_module() {
  // 1. One interpreter per process: the type objects are process-wide.
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) fail_python();
  if (g_interpreter_id < 0) {
    g_interpreter_id = id;
  } else if (g_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vexel_ckf._native does not support sub-interpreters: it can only be imported by the "
                    "interpreter that first imported it");
    fail_python();
  }
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
