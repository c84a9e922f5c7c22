// The panel functions of vexel_ckf._engine: filtering and smoothing of M
// sequences of one linear model (with missed measurements) on the worker
// pool, and the filter bank step with missed measurements; and what the
// nonlinear panels share with them (the arguments common to both, and the
// messages naming a sequence).
#pragma once

#include "../kit/kit.hpp"

#include "../panel/panel.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace vexel::py {

/// Adds panel_filter, panel_smoother, panel_rts and bank_step_gaps to
/// `module`.
void add_panel(PyObject* module);

/// "sequence i" in messages: global, or nothing for a single sequence.
struct Labels {
  std::optional<npy_intp> first;
  std::string row(npy_intp i, npy_intp k) const {
    if (!first) return "zs[" + num(k) + "]";
    const npy_intp g = *first + i;
    return "zs[" + num(g) + ", " + num(k) + "] (sequence " + num(g) + ", step " + num(k) + ")";
  }
  std::string per_sequence(const char* name, npy_intp i, bool stacked) const {
    if (!stacked) return name;
    return std::string(name) + "[" + num(first.value_or(0) + i) + "]";
  }
  std::string sequence_suffix(npy_intp i) const {
    if (!first) return "";
    return " (sequence " + num(*first + i) + ")";
  }
};

/// The arrays of a linear panel call in the order of its declarations: x0,
/// p0, zs (its first three arguments) and the four items of its model tuple
/// (args[3]), which `spelled` names in the message for a tuple of another
/// length, e.g. "(F, H, Q, R)".
struct ModelTupleObjects {
  PyObject* items[7];
  ModelTupleObjects(PyObject* const* args, const char* spelled);
};

/// A (rows, columns) entry of check_storage's list.
inline std::pair<std::uint64_t, std::uint64_t> shape(npy_intp rows, npy_intp cols) {
  return {static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(cols)};
}

/// A truth value argument (the object's truth, as `if` takes it).
bool arg_flag(PyObject* obj, const char* name);

/// None (a single sequence: messages name steps only) or the index of the
/// first sequence within the caller's whole panel (messages name global
/// sequences).
std::optional<npy_intp> arg_first_sequence(PyObject* obj);

/// The ValueError for a measurement row of zs (M, N, m) that cannot be used.
[[noreturn]] void fail_measurement(const ArrayIn& zs, npy_intp m, const Labels& labels,
                                   const panel::MeasurementFault& f);

}  // namespace vexel::py
