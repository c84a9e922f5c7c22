// Module initialisation of vexel_ckf._engine: the package's second extension
// module, home of the native capabilities the Python layer builds on beyond
// the filter classes and batch functions of `_native`.  Its only exported
// symbol is PyInit__engine.
#include "engine_fixed_lag.hpp"
#include "engine_angles.hpp"
#include "engine_bank.hpp"
#include "engine_models.hpp"
#include "engine_run.hpp"
#include "engine_cubature_panel.hpp"
#include "engine_fit.hpp"
#include "engine_imm.hpp"
#include "engine_panel.hpp"
#include "engine_smoother.hpp"
#include "filter_forms.hpp"

#include "../kernels/simd_dispatch.hpp"
#include "../kit/kit.hpp"

namespace vexel::py {

namespace {

/// field_tables(): {class name: ((name, type, shape, settable), ...)} for
/// both filter classes, in snapshot order.
Ref field_tables_body(PyObject* const* /*args*/) {
  Ref tables = Ref::steal(PyDict_New());
  if (!tables) fail_python();
  if (PyDict_SetItemString(tables.get(), "CubatureKalmanFilter", ckf_field_table().get()) < 0) fail_python();
  if (PyDict_SetItemString(tables.get(), "SquareRootCubatureKalmanFilter", srckf_field_table().get()) < 0)
    fail_python();
  return tables;
}

constexpr Params kFieldTables{"field_tables()", 0, 0, {}};

const char* const kFieldTablesDoc = signature_doc(kFieldTables, ""
    "The field tables of both filter classes: a dict mapping the class name to a\n"
    "tuple of rows (name, type, shape, settable), in snapshot order. type is\n"
    "'array', 'float' or 'int'; shape is a tuple of dimension names ('dim_x',\n"
    "'dim_z'), empty for scalars; settable tells whether `set` accepts the name.", false);

/// simd_tile_width(): how many filters the many-filter routines step
/// together in this process.
Ref simd_tile_width_body(PyObject* const* /*args*/) {
  Ref width = Ref::steal(PyLong_FromLong(simd::tile_width()));
  if (!width) fail_python();
  return width;
}

constexpr Params kSimdTileWidth{"simd_tile_width()", 0, 0, {}};

const char* const kSimdTileWidthDoc = signature_doc(kSimdTileWidth, ""
    "How many filters the many-filter routines step together, one per SIMD lane:\n"
    "4 on processors with AVX2, 2 otherwise, 1 when the environment variable\n"
    "VEXEL_CKF_BASELINE_SIMD is 'scalar' (any other value of it means 2). Results\n"
    "never depend on it. Decided once per process.", false);

PyMethodDef kFunctions[] = {
    {"field_tables", as_cfunction(&function_entry<kFieldTables, field_tables_body>), kKwFlags, kFieldTablesDoc},
    {"simd_tile_width", as_cfunction(&function_entry<kSimdTileWidth, simd_tile_width_body>), kKwFlags,
     kSimdTileWidthDoc},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_engine", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;

Ref create_module() {
  require_first_interpreter("vexel_ckf._engine");
  if (g_module != nullptr) return Ref::borrow(g_module);
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) fail_python();
  for (PyMethodDef& def : kFunctions) add_export(module.get(), def.ml_name, new_module_function(&def, module.get()));
  add_angles(module.get());
  add_bank(module.get());
  add_models(module.get());
  add_run(module.get());
  add_smoother(module.get());
  add_fixed_lag(module.get());
  add_panel(module.get());
  add_cubature_panel(module.get());
  add_fit(module.get());
  add_imm(module.get());
  g_module = module.get();
  Py_INCREF(g_module);
  return module;
}

}  // namespace

}  // namespace vexel::py

PyMODINIT_FUNC PyInit__engine(void) {
  return vexel::py::boundary([]() { return vexel::py::create_module(); });
}
