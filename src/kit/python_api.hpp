// The one place that includes Python.h: always through the limited API of
// CPython 3.9, so the module is a single abi3 binary for every CPython >= 3.9.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
