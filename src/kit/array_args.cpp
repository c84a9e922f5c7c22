// Converting and checking declared array arguments (see array_args.hpp).
#include "array_args.hpp"

#include "errors.hpp"
#include "finite_checks.hpp"
#include "number_format.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace vexel::py {

namespace {

/// Replace every "{key}" in `text` by `value`.
void replace_all(std::string& text, const std::string& key, const std::string& value) {
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
    text.replace(at, key.size(), value);
  }
}

bool holds(const char* text, const char* key) { return std::strstr(text, key) != nullptr; }

/// The first non-finite value of sub-array `index` along the first axis (an
/// array of up to four dimensions), if any.
std::optional<double> first_bad_value(const ArrayIn& a, npy_intp index) {
  const int nd = a.ndim();
  npy_intp extent[3] = {1, 1, 1};
  npy_intp stride[3] = {0, 0, 0};
  for (int k = 1; k < nd; ++k) {
    extent[k - 1] = a.dim(k);
    stride[k - 1] = a.stride(k);
  }
  const char* base = a.data() + index * a.stride(0);
  for (npy_intp i = 0; i < extent[0]; ++i) {
    for (npy_intp j = 0; j < extent[1]; ++j) {
      for (npy_intp k = 0; k < extent[2]; ++k) {
        const double v = load_double(base + i * stride[0] + j * stride[1] + k * stride[2]);
        if (!is_finite(v)) return v;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

ArrayArgs::ArrayArgs(const ArrayDecl* arrays, int count, const ArrayDim* dims, int dim_count, PyObject* const* args)
    : arrays_(arrays), count_(count), dims_(dims), dim_count_(dim_count) {
  if (count > kMaxArrayArgs || dim_count > kMaxArrayDims) fail(Error::panic("too many declared array arguments"));
  if (!ensure_numpy()) fail_python();
  for (int i = 0; i < count; ++i) {
    const ArrayDecl& decl = arrays[i];
    PyObject* obj = args[decl.param >= 0 ? decl.param : i];
    // Which number of dimensions to convert for: the declared one, one less
    // where the first axis is optional and absent, or (a shape error to come)
    // whatever the array has.
    int nd = decl.ndim;
    if (PyArray_Check(obj)) {
      const int has = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj));
      const bool optional = decl.axes[0].rule == Axis::kOptional;
      if ((optional && has == decl.ndim - 1) || decl.ndim_is_shape) nd = has;
    }
    in_[i] = arg_array(obj, nd, decl.name);
  }
}

void ArrayArgs::bind(int d, npy_intp extent) {
  extent_[d] = extent;
  bound_[d] = true;
}

int ArrayArgs::binder(int d) const {
  if (dims_[d].bound_by >= 0) return dims_[d].bound_by;
  for (int i = 0; i < count_; ++i) {
    for (int k = 0; k < arrays_[i].ndim; ++k) {
      if (arrays_[i].axes[k].dim == d) return i;
    }
  }
  return -1;
}

std::string ArrayArgs::expand(const char* text, int i) const {
  std::string out(text);
  replace_all(out, "{label}", label(i));
  replace_all(out, "{shape}", shape_text(in_[i]));
  for (int d = 0; d < dim_count_; ++d) {
    if (bound_[d]) replace_all(out, std::string("{") + dims_[d].symbol + "}", num(extent_[d]));
  }
  return out;
}

void ArrayArgs::fail_shape(int i, const std::string& default_message) const {
  const ArrayDecl& decl = arrays_[i];
  fail(Error::value(decl.shape != nullptr ? expand(decl.shape, i) : default_message));
}

void ArrayArgs::bind_from(int i) {
  const ArrayDecl& decl = arrays_[i];
  const ArrayIn& a = in_[i];
  const bool optional = decl.axes[0].rule == Axis::kOptional;
  if (a.ndim() != decl.ndim && !(optional && a.ndim() == decl.ndim - 1)) check_whole_shape(i);
  const Axis* axes = axes_of(i);
  for (int k = 0; k < a.ndim(); ++k) {
    const int d = axes[k].dim;
    const npy_intp extent = a.dim(k);
    if (bound_[d]) {
      if (extent != extent_[d]) {
        fail_shape(i, std::string(label(i)) + " must have " + (k == 0 ? "leading dimension " : "dimension ") +
                          num(extent_[d]) + "; got " + num(extent));
      }
      continue;
    }
    if (extent == 0 && dims_[d].zero_message != nullptr) fail(Error::value(dims_[d].zero_message));
    bind(d, extent);
  }
}

void ArrayArgs::check_shapes() {
  bool binds[kMaxArrayArgs] = {};
  for (int d = 0; d < dim_count_; ++d) {
    if (bound_[d]) continue;  // bound by the caller
    const int i = binder(d);
    if (i < 0) fail(Error::panic("a declared dimension is named by no array"));
    if (!binds[i]) {
      binds[i] = true;
      bind_from(i);
    }
  }
  for (int i = 0; i < count_; ++i) {
    if (!binds[i]) check_whole_shape(i);
  }
}

void ArrayArgs::check_whole_shape(int i) const {
  const ArrayDecl& decl = arrays_[i];
  const ArrayIn& a = in_[i];
  const bool optional = decl.axes[0].rule == Axis::kOptional;
  bool ok = a.ndim() == decl.ndim || (optional && a.ndim() == decl.ndim - 1);
  if (ok) {
    const Axis* axes = axes_of(i);
    for (int k = 0; k < a.ndim() && ok; ++k) {
      const npy_intp want = extent_[axes[k].dim];
      const npy_intp have = a.dim(k);
      ok = axes[k].rule == Axis::kOrOneLess ? (have == want || have == want - 1) : have == want;
    }
  }
  if (ok) return;
  // The message: the expected extents after the first axis, then the whole
  // shape's text.
  std::string rest;
  for (int k = 1; k < decl.ndim; ++k) rest += (k > 1 ? ", " : "") + num(extent_[decl.axes[k].dim]);
  const std::string lead = num(extent_[decl.axes[0].dim]);
  std::string expected;
  if (decl.axes[0].rule == Axis::kOrOneLess) {
    const std::string symbol = dims_[decl.axes[0].dim].symbol;
    const std::string tail = decl.ndim > 1 ? ", " + rest : ",";
    expected = "(" + symbol + tail + ") or (" + symbol + "-1" + tail + ")";
  } else if (optional) {
    expected = "(" + rest + (decl.ndim == 2 ? ",)" : ")") + " or (" + lead + ", " + rest + ")";
  } else {
    expected = "(" + lead + (decl.ndim > 1 ? ", " + rest : ",") + ")";
  }
  fail_shape(i, std::string(label(i)) + " must have shape " + expected + decl.got + shape_text(a));
}

void ArrayArgs::check_finite() const {
  for (int i = 0; i < count_; ++i) {
    const ArrayDecl& decl = arrays_[i];
    const char* message = decl.finite;
    if (message == nullptr) continue;
    const ArrayIn& a = in_[i];
    std::string text;
    if (holds(message, "{step}")) {
      const auto step = first_non_finite_step(a);
      if (!step) continue;
      text = expand(message, i);
      replace_all(text, "{step}", num(*step));
    } else if (holds(message, "{entry}")) {
      // The entries a pass reads: entry 0 of a length-N stack serves no
      // step, and a broadcast stack (stride 0) holds one entry.
      const npy_intp steps = extent_[decl.axes[0].dim];
      const npy_intp first = a.dim(0) == steps ? 1 : 0;
      const npy_intp last = a.stride(0) == 0 ? std::min(first + 1, a.dim(0)) : a.dim(0);
      std::optional<double> bad;
      npy_intp entry = first;
      for (; entry < last && !bad; ++entry) bad = first_bad_value(a, entry);
      if (!bad) continue;
      text = expand(message, i);
      replace_all(text, "{entry}", num(entry - 1));
      replace_all(text, "{value}", format_double(*bad));
    } else if (holds(message, "{item}")) {
      if (stacked(i)) {
        npy_intp item = 0;
        while (item < a.dim(0) && !first_bad_value(a, item)) ++item;
        if (item == a.dim(0)) continue;
        text = expand(message, i);
        replace_all(text, "{item}", "[" + num(item_offset_ + item) + "]");
      } else {
        if (all_finite(a)) continue;
        text = expand(message, i);
        replace_all(text, "{item}", "");
      }
    } else {
      if (all_finite(a)) continue;
      text = expand(message, i);
    }
    fail(Error::value(text));
  }
}

}  // namespace vexel::py
