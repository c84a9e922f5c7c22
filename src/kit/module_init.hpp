// Building an extension module of the package: the one-interpreter check,
// exports listed in __all__, and function objects bound to the module.
//
// Both extension modules (`_native` and `_engine`) are thin init files over
// the shared core library, so the process-wide state they reach (types,
// borrow registry, worker pool, PanicException) exists once per process.
#pragma once

#include "errors.hpp"
#include "py_ref.hpp"
#include "python_api.hpp"

#include <cstdint>

namespace vexel::py {

/// Refuse a second interpreter: the type objects and the process-wide state
/// of the core are shared by every module of the package, so only the
/// interpreter that imported the package first may use it.  `module_name`
/// is the dotted name shown in the ImportError.
void require_first_interpreter(const char* module_name);

/// Append `name` to the module's __all__ (created on first use), then set the
/// attribute (the module takes the reference).
void add_export(PyObject* module, const char* name, Ref obj);

/// A function object for `def`, bound to `module` (its __module__ is the
/// module's name).
Ref new_module_function(PyMethodDef* def, PyObject* module);

}  // namespace vexel::py
