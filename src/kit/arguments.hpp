// Arguments of a native callable: binding (args, kwargs) to its parameter
// list with CPython's arity errors, and converting each argument with the
// argument's name in a TypeError.
#pragma once

#include "errors.hpp"
#include "python_api.hpp"

#include "../kernels/linalg.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vexel::py {

inline constexpr int kMaxParams = 13;

/// Parameter list of a callable: every parameter is positional-or-keyword,
/// the first `required` have no default.  It is declared once and serves
/// argument binding, the arity messages and the text signature alike.
struct Params {
  const char* callable;  // "rts_smooth()", or "get()" with owner "CubatureKalmanFilter"
  int count;
  int required;
  const char* names[kMaxParams];
  const char* owner = nullptr;  // the class of a method, named before the callable
  /// The default of each optional parameter as the signature writes it
  /// (nullptr: None).
  const char* defaults[kMaxParams] = {};
};

/// The callable as messages name it: "rts_smooth()", "CubatureKalmanFilter.get()".
std::string callable_name(const Params& params);

/// The docstring "name(a, b=None)\n--\n\n<body>" of a callable (with
/// "$self, " first for a method; a constructor, "__new__()", takes its
/// class's name): CPython reads the first line as the text signature, so
/// help() shows the parameter list written once in `params`.  The text
/// lives as long as the process.
const char* signature_doc(const Params& params, const char* body, bool method);

/// Bind (args, kwargs) to `out` (borrowed references, nullptr for omitted
/// optional parameters); throws the CPython-style TypeError on arity errors.
void parse_args(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

/// An optional parameter counts as given unless it is absent or None.
inline bool given(PyObject* arg) { return arg != nullptr && arg != Py_None; }

/// Run a conversion of the argument `name`; a TypeError it raises becomes
/// "argument 'name': <message>" (keeping the original's cause).  Other
/// failures (OverflowError, ...) pass unchanged.
[[noreturn]] void rethrow_with_arg_prefix(const char* name, const Error& error);

template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const Error& e) {
    rethrow_with_arg_prefix(name, e);
  }
}

// Conversions of the argument kinds (no prefix; wrap with convert_arg).
std::uint64_t to_u64(PyObject* obj);
double to_double(PyObject* obj);
std::string to_string(PyObject* obj);
PyObject* to_dict(PyObject* obj);
PyObject* to_tuple(PyObject* obj);

/// A tuple or list of integer indices in [0, bound), each named at most once
/// where `distinct`: the one check of index arguments (angle entries, the
/// filters a bank keeps).  TypeError for another container or a
/// non-integer, OverflowError for a negative or huge one, ValueError
/// "<name> holds the index 7, outside 0..4" or "<name> holds the index 2
/// twice".
std::vector<Index> arg_indices(PyObject* obj, const char* name, std::int64_t bound, bool distinct);

// Prefixed argument conversions.
inline std::uint64_t arg_u64(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_u64(o); }); }
inline double arg_double(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_double(o); }); }
inline std::string arg_string(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_string(o); }); }
inline PyObject* arg_dict(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_dict(o); }); }
inline PyObject* arg_tuple(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_tuple(o); }); }

}  // namespace vexel::py
