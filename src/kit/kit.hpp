// The binding kit in one include, for binding files that use most of it.
//
// Each header has one concern:
//   python_api.hpp       Python.h through the 3.9 limited API
//   numpy_api.hpp        the NumPy C API table, loaded once
//   py_ref.hpp           owned references and the reference rules
//   errors.hpp           failures as Error values, raised at `boundary`
//   text.hpp             str objects to UTF-8 and back, type names
//   arguments.hpp        parameter lists, arity errors, argument conversion
//   results.hpp          None, numbers and tuples as return values
//   instances.hpp        native objects, their borrow flag and final classes
//   entry_points.hpp     the C entry points of methods and functions
//   borrow_registry.hpp  the process-wide registry of borrowed NumPy memory
//   array_accept.hpp     which objects are float64 arrays, read-borrowed
//   array_convert.hpp    copying accepted arrays into owned values
//   array_output.hpp     new NumPy arrays for results
//   finite_checks.hpp    finiteness checks and their messages
//   array_args.hpp       declarative array arguments of a function
//   number_format.hpp    numbers and shapes written as messages write them
//   output_buffer.hpp    scratch memory for results, handed over to NumPy
//   lock_release.hpp     running without the interpreter lock
//   model_callbacks.hpp  the one way a Python fx/hx is called over cubature points
//   field_table.hpp      filter fields by Python attribute name
//   module_init.hpp      building an extension module of the package
#pragma once

#include "arguments.hpp"
#include "array_accept.hpp"
#include "array_args.hpp"
#include "array_convert.hpp"
#include "array_output.hpp"
#include "borrow_registry.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "field_table.hpp"
#include "finite_checks.hpp"
#include "instances.hpp"
#include "lock_release.hpp"
#include "model_callbacks.hpp"
#include "module_init.hpp"
#include "number_format.hpp"
#include "numpy_api.hpp"
#include "output_buffer.hpp"
#include "py_ref.hpp"
#include "python_api.hpp"
#include "results.hpp"
#include "text.hpp"
