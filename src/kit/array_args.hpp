// Declarative array arguments: a function describes each of its array
// arguments once, and the kit converts and checks them all.
//
// Declaration API
// ---------------
//   constexpr ArrayDim kDims[] = {            // the named dimensions
//       {"N", "xs must contain at least one filtered state"},  // zero refused
//       {"dim_z", nullptr},                   // zero allowed
//   };
//   constexpr ArrayDecl kArrays[] = {         // one per array parameter,
//       {"xs", 2, {{0}, {1}}},                //   in parameter order
//       {"ps", 3, {{0}, {1}, {1}}, "Ps", ArrayDecl::kComma},
//       {"fs", 3, {{0, Axis::kOrOneLess}, {1}, {1}}, "Fs"},
//       {"x0", 1, {{1}}, nullptr, ArrayDecl::kSemicolon, "x0 contains non-finite values (NaN or inf)"},
//       {"zs", 2, {{0}, {2}}, nullptr, ArrayDecl::kSemicolon, "zs[{step}] contains ..."},
//   };
//   ArrayArgs arrays(kArrays, kDims, args);   // conversions
//   arrays.check_shapes();                    // shapes and dimensions
//   ... checks of the function's own (storage) ...
//   arrays.check_finite();                    // finiteness
//   arrays[i] is the accepted, read-borrowed array i; arrays.dim(d) the
//   extent bound to dimension d.
//
// ArrayDecl fields: `name` is the parameter name (parameter i of the
// function is array i); `ndim` the exact number of dimensions; `axes` names
// the dimension of each axis, optionally with Axis::kOrOneLess (the extent
// may also be one less, as for per-transition stacks of N or N-1 entries);
// `label` is the name the shape and finiteness messages use (the parameter
// name when nullptr); `got` the separator of the shape message; `finite` the
// message of a non-finite value, or nullptr for no finiteness check.  A
// message holding "{step}" checks each index of the first axis and names the
// first one holding a NaN or infinity; otherwise the array is checked whole.
//
// Order of checks, all argument by argument in parameter order:
//  1. conversions: each argument must be a float64 ndarray of `ndim`
//     dimensions (TypeError "argument 'name': ..."), read-borrowed from then
//     on;
//  2. dimensions: every array that names a dimension first binds it from its
//     extent (ValueError with the dimension's zero message when it is 0 and
//     zero is refused); an axis of such an array that names a dimension bound
//     before is checked on its own ("<label> must have leading dimension n;
//     got m");
//  3. shapes: every other array is compared whole ("<label> must have shape
//     (a, b)<got>(c, d)"; with kOrOneLess "(N, b) or (N-1, b)");
//  4. finiteness (check_finite), after the function's own checks.
//
// Broadcasting: the arrays are read through their strides as they are, so
// broadcast views (stride 0) are accepted without a copy; nothing is
// broadcast here: the Python layer broadcasts before the call.
#pragma once

#include "array_accept.hpp"

#include "../kernels/linalg.hpp"

#include <cstddef>

namespace vexel::py {

/// A named dimension; `zero_message` refuses an extent of 0 (nullptr allows it).
struct ArrayDim {
  const char* symbol;
  const char* zero_message;
};

/// The dimension an axis names.
struct Axis {
  enum Rule { kEqual, kOrOneLess };
  int dim = -1;
  Rule rule = kEqual;
};

struct ArrayDecl {
  static constexpr const char* kSemicolon = "; got ";
  static constexpr const char* kComma = ", got ";

  const char* name;
  int ndim;
  Axis axes[3];
  const char* label = nullptr;
  const char* got = kSemicolon;
  const char* finite = nullptr;
};

inline constexpr int kMaxArrayArgs = 8;
inline constexpr int kMaxArrayDims = 4;

/// The array arguments of one call, converted and then checked on request.
class ArrayArgs {
 public:
  template <std::size_t A, std::size_t D>
  ArrayArgs(const ArrayDecl (&arrays)[A], const ArrayDim (&dims)[D], PyObject* const* args)
      : ArrayArgs(arrays, static_cast<int>(A), dims, static_cast<int>(D), args) {
    static_assert(A <= kMaxArrayArgs && D <= kMaxArrayDims, "too many array arguments or dimensions");
  }
  ArrayArgs(const ArrayDecl* arrays, int count, const ArrayDim* dims, int dim_count, PyObject* const* args);

  /// Dimensions and shapes (steps 2 and 3 above).
  void check_shapes();
  /// Finiteness (step 4 above).
  void check_finite() const;

  const ArrayIn& operator[](int i) const { return in_[i]; }
  /// The extent bound to dimension d (after check_shapes).
  npy_intp dim(int d) const { return extent_[d]; }

 private:
  const char* label(int i) const { return arrays_[i].label ? arrays_[i].label : arrays_[i].name; }
  void check_whole_shape(int i) const;

  const ArrayDecl* arrays_;
  int count_;
  const ArrayDim* dims_;
  int dim_count_;
  ArrayIn in_[kMaxArrayArgs];
  npy_intp extent_[kMaxArrayDims] = {};
  bool bound_[kMaxArrayDims] = {};
};

}  // namespace vexel::py
