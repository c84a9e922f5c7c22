// Converting and checking declared array arguments (see array_args.hpp).
#include "array_args.hpp"
#include "number_format.hpp"

#include "errors.hpp"
#include "finite_checks.hpp"

#include <string>

namespace vexel::py {

namespace {


/// "(a, b, c)" from the extents of an array.
std::string actual_shape(const ArrayIn& a) {
  std::string text = "(";
  for (int k = 0; k < a.ndim(); ++k) text += (k > 0 ? ", " : "") + num(a.dim(k));
  return text + ")";
}

/// The message with "{step}" replaced by the step.
std::string with_step(const char* message, npy_intp step) {
  std::string text(message);
  const std::size_t at = text.find("{step}");
  if (at != std::string::npos) text.replace(at, 6, num(step));
  return text;
}

}  // namespace

ArrayArgs::ArrayArgs(const ArrayDecl* arrays, int count, const ArrayDim* dims, int dim_count, PyObject* const* args)
    : arrays_(arrays), count_(count), dims_(dims), dim_count_(dim_count) {
  if (count > kMaxArrayArgs || dim_count > kMaxArrayDims) fail(Error::panic("too many declared array arguments"));
  for (int i = 0; i < count; ++i) in_[i] = arg_array(args[i], arrays[i].ndim, arrays[i].name);
}

void ArrayArgs::check_shapes() {
  // Which arrays bind a dimension first, in parameter order.
  bool binds[kMaxArrayArgs] = {};
  bool seen[kMaxArrayDims] = {};
  for (int i = 0; i < count_; ++i) {
    for (int k = 0; k < arrays_[i].ndim; ++k) {
      const int d = arrays_[i].axes[k].dim;
      if (!seen[d]) binds[i] = true;
      seen[d] = true;
    }
  }
  for (int i = 0; i < count_; ++i) {
    if (!binds[i]) continue;
    const ArrayDecl& decl = arrays_[i];
    for (int k = 0; k < decl.ndim; ++k) {
      const int d = decl.axes[k].dim;
      const npy_intp extent = in_[i].dim(k);
      if (bound_[d]) {
        if (extent != extent_[d]) {
          fail(Error::value(std::string(label(i)) + " must have " + (k == 0 ? "leading dimension " : "dimension ") +
                            num(extent_[d]) + "; got " + num(extent)));
        }
        continue;
      }
      if (extent == 0 && dims_[d].zero_message != nullptr) fail(Error::value(dims_[d].zero_message));
      extent_[d] = extent;
      bound_[d] = true;
    }
  }
  for (int i = 0; i < count_; ++i) {
    if (!binds[i]) check_whole_shape(i);
  }
}

void ArrayArgs::check_whole_shape(int i) const {
  const ArrayDecl& decl = arrays_[i];
  const ArrayIn& a = in_[i];
  bool ok = true;
  bool or_one_less = false;
  std::string rest;  // the expected extents after the first axis
  for (int k = 0; k < decl.ndim; ++k) {
    const Axis& axis = decl.axes[k];
    const npy_intp want = extent_[axis.dim];
    const npy_intp have = a.dim(k);
    if (axis.rule == Axis::kOrOneLess) {
      or_one_less = true;
      ok = ok && (have == want || have == want - 1);
    } else {
      ok = ok && have == want;
    }
    if (k > 0) rest += ", " + num(want);
  }
  if (ok) return;
  std::string expected;
  if (or_one_less) {
    const char* symbol = dims_[decl.axes[0].dim].symbol;
    expected = "(" + std::string(symbol) + rest + ") or (" + symbol + "-1" + rest + ")";
  } else {
    expected = "(" + num(extent_[decl.axes[0].dim]) + rest + ")";
  }
  fail(Error::value(std::string(label(i)) + " must have shape " + expected + decl.got + actual_shape(a)));
}

void ArrayArgs::check_finite() const {
  for (int i = 0; i < count_; ++i) {
    const char* message = arrays_[i].finite;
    if (message == nullptr) continue;
    if (std::string(message).find("{step}") != std::string::npos) {
      if (const auto step = first_non_finite_step(in_[i])) fail(Error::value(with_step(message, *step)));
    } else if (!all_finite(in_[i])) {
      fail(Error::value(message));
    }
  }
}

}  // namespace vexel::py
