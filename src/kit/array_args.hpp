// Declarative array arguments: a binding describes each of its array
// arguments once (name, shape in named dimensions, which leading dimension
// may be broadcast, the "N or N-1 entries" rule, finiteness and the words of
// each message), and the kit converts and checks them all.
//
// Declaration API
// ---------------
//   constexpr ArrayDim kDims[] = {            // the named dimensions
//       {"N", "xs must contain at least one filtered state"},  // zero refused
//       {"dim_z", nullptr},                   // zero allowed
//       {"M", "zs must contain ...", 2},      // bound by array 2 (see below)
//   };
//   constexpr ArrayDecl kArrays[] = {         // one per array parameter
//       {"xs", 2, {{0}, {1}}},
//       {"ps", 3, {{0}, {1}, {1}}, "Ps", ArrayDecl::kComma},
//       {"fs", 3, {{0, Axis::kOrOneLess}, {1}, {1}}, "Fs"},
//       {"p0", 3, {{2, Axis::kOptional}, {1}, {1}}, "P0"},   // (n, n) or (M, n, n)
//       {"x0", 1, {{1}}, nullptr, ArrayDecl::kSemicolon, "x0 contains non-finite values (NaN or inf)"},
//   };
//   ArrayArgs arrays(kArrays, kDims, args);   // conversions
//   arrays.check_shapes();                    // shapes and dimensions
//   ... checks of the function's own (storage) ...
//   arrays.check_finite();                    // finiteness
//   arrays[i] is the accepted, read-borrowed array i; arrays.dim(d) the
//   extent bound to dimension d; arrays.stacked(i) whether an optional
//   leading axis is present.
//
// ArrayDim fields: `symbol` names the dimension in messages; `zero_message`
// refuses an extent of 0 (nullptr allows it); `bound_by` is the array whose
// extent binds it (-1: the first array, in order, that names it), or it is
// bound by the caller beforehand (`bind`).
//
// ArrayDecl fields: `name` is the parameter name; `ndim` the number of
// dimensions; `axes` names the dimension of each axis with its rule:
//   kEqual      the extent must equal the dimension;
//   kOrOneLess  it may also be one less (per-transition stacks of N or N-1
//               entries);
//   kOptional   (first axis only) the axis may be absent: one item shared
//               along the dimension instead of one per index (broadcast).
// `label` is the name messages use (the parameter name when nullptr); `got`
// the separator of the default shape message; `finite` the message of a
// non-finite value, or nullptr for no finiteness check; `shape` a message
// replacing the default shape message; `param` the index of the argument in
// `args` (-1: the array's own position); `ndim_is_shape`: another number of
// dimensions is a shape error (ValueError) rather than a conversion error.
//
// Message templates: "{label}", "{shape}" (the array's shape, "(4, 2)",
// "(3,)"), and "{S}" for the extent bound to the dimension whose symbol is S.
// A finiteness message is checked, and names the first bad place, by what
// it holds:
//   "{step}"   each index of the first axis;
//   "{entry}"  each entry of an N / N-1 stack that a step reads (entry 0 of
//              a length-N stack serves no step; a broadcast stack is read
//              once), "{value}" being the bad value;
//   "{item}"   each item along an optional axis: "[i]" (i counted from the
//              item offset) when present, "" for one shared item;
//   none       the array as a whole.
//
// Order of checks, all argument by argument:
//  1. conversions, in parameter order: each argument must be a float64
//     ndarray of `ndim` dimensions (or one less with an optional axis)
//     (TypeError "argument 'name': ..."), read-borrowed from then on;
//  2. dimensions, in declaration order, each from its binding array: that
//     array's axes are read in order, binding its dimensions (ValueError with
//     the dimension's zero message when an extent is 0 and zero is refused)
//     and checking those bound before ("<label> must have leading dimension
//     n; got m", or the array's `shape` message);
//  3. shapes: every other array is compared whole ("<label> must have shape
//     (a, b)<got>(c, d)"; with kOrOneLess "(N, b) or (N-1, b)", with
//     kOptional "(b, c) or (a, b, c)"), or with its `shape` message;
//  4. finiteness (check_finite), after the function's own checks.
//
// Broadcasting: the arrays are read through their strides as they are, so
// broadcast views (stride 0) are accepted without a copy; nothing is
// broadcast here: the Python layer broadcasts before the call.
#pragma once

#include "array_accept.hpp"

#include "../kernels/linalg.hpp"

#include <cstddef>
#include <string>
#include <utility>

namespace vexel::py {

/// A named dimension; `zero_message` refuses an extent of 0 (nullptr allows it).
struct ArrayDim {
  const char* symbol;
  const char* zero_message;
  int bound_by = -1;
};

/// The dimension an axis names.
struct Axis {
  enum Rule { kEqual, kOrOneLess, kOptional };
  int dim = -1;
  Rule rule = kEqual;
};

inline constexpr int kMaxArrayAxes = 4;

struct ArrayDecl {
  static constexpr const char* kSemicolon = "; got ";
  static constexpr const char* kComma = ", got ";

  const char* name;
  int ndim;
  Axis axes[kMaxArrayAxes];
  const char* label = nullptr;
  const char* got = kSemicolon;
  const char* finite = nullptr;
  const char* shape = nullptr;
  int param = -1;
  bool ndim_is_shape = false;
};

inline constexpr int kMaxArrayArgs = 8;
inline constexpr int kMaxArrayDims = 5;

/// The array arguments of one call, converted and then checked on request.
class ArrayArgs {
 public:
  template <std::size_t A, std::size_t D>
  ArrayArgs(const ArrayDecl (&arrays)[A], const ArrayDim (&dims)[D], PyObject* const* args)
      : ArrayArgs(arrays, static_cast<int>(A), dims, static_cast<int>(D), args) {
    static_assert(A <= kMaxArrayArgs && D <= kMaxArrayDims, "too many array arguments or dimensions");
  }
  ArrayArgs(const ArrayDecl* arrays, int count, const ArrayDim* dims, int dim_count, PyObject* const* args);

  /// Bind dimension d before the checks (a size the caller knows already).
  void bind(int d, npy_intp extent);
  /// Where "{item}" counts from (a panel's first sequence).
  void set_item_offset(npy_intp offset) { item_offset_ = offset; }

  /// Dimensions and shapes (steps 2 and 3 above).
  void check_shapes();
  /// Finiteness (step 4 above).
  void check_finite() const;

  const ArrayIn& operator[](int i) const { return in_[i]; }
  /// Array i handed over (still read-borrowed), for a caller that keeps it.
  ArrayIn take(int i) { return std::move(in_[i]); }
  /// The extent bound to dimension d (after check_shapes).
  npy_intp dim(int d) const { return extent_[d]; }
  /// Whether array i came with its optional leading axis.
  bool stacked(int i) const { return arrays_[i].axes[0].rule == Axis::kOptional && in_[i].ndim() == arrays_[i].ndim; }

 private:
  const char* label(int i) const { return arrays_[i].label ? arrays_[i].label : arrays_[i].name; }
  /// The axes of array i as it came: its declared axes less an absent optional one.
  const Axis* axes_of(int i) const { return arrays_[i].axes + (in_[i].ndim() < arrays_[i].ndim ? 1 : 0); }
  int binder(int d) const;
  void bind_from(int i);
  void check_whole_shape(int i) const;
  std::string expand(const char* text, int i) const;
  [[noreturn]] void fail_shape(int i, const std::string& default_message) const;

  const ArrayDecl* arrays_;
  int count_;
  const ArrayDim* dims_;
  int dim_count_;
  ArrayIn in_[kMaxArrayArgs];
  npy_intp extent_[kMaxArrayDims] = {};
  bool bound_[kMaxArrayDims] = {};
  npy_intp item_offset_ = 0;
};

}  // namespace vexel::py
