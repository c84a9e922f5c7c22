// The two filter forms of vexel_ckf._native, CubatureKalmanFilter
// (covariance form, src/module/ckf_*.cpp) and SquareRootCubatureKalmanFilter
// (square-root form, src/module/srckf_*.cpp): what the rest of the bindings
// refer to.
#pragma once

#include "filter_methods.hpp"

#include "../ckf/ckf_ops.hpp"
#include "../ckf/ckf_state.hpp"
#include "../srckf/srckf_state.hpp"

namespace vexel::py {

template <> const char FilterForm<CkfState>::kClassName[];
template <> const char FilterForm<SrckfState>::kClassName[];
template <> const FilterDocs FilterForm<CkfState>::kDocs;
template <> const FilterDocs FilterForm<SrckfState>::kDocs;

template <>
struct StepWork<CkfState> {
  CkfWork work;
  /// The factor and the update's points; the prediction's images (2n by n)
  /// and the update's (2n by m) each in storage of their own, so that
  /// neither is reallocated at every step.
  DMatrix L, X, images, Z;
  /// Where a prediction also leaves its factor and its images as fx
  /// returned them (before any unwrapping), or nullptr (L is reused by the
  /// update): a fixed-lag smoother takes them, the same points
  /// it would draw from the filtered posterior.
  struct Drawn {
    DMatrix factor, images;
  };
  Drawn* keep = nullptr;
};

/// The square-root form's steps keep their own temporaries.
template <>
struct StepWork<SrckfState> {};

/// The class objects (new references), created on first use.
Ref ckf_type();
Ref srckf_type();
/// The exported field tables: rows (name, type, shape, settable).
Ref ckf_field_table();
Ref srckf_field_table();

using CkfInstance = Instance<CkfState>;
using SrckfInstance = Instance<SrckfState>;

/// The engine functions that take a filter of either form as their first
/// argument: `Ckf` or `Srckf` by the filter's class, with its write borrow
/// held for the call; any other object is the TypeError naming both classes.
template <Ref (*Ckf)(CkfInstance&, PyObject* const*), Ref (*Srckf)(SrckfInstance&, PyObject* const*)>
Ref dispatch_filter(PyObject* const* args) {
  PyObject* filter = args[0];
  auto is_a = [&](const ClassInfo& cls) { return cls.type != nullptr && PyObject_TypeCheck(filter, cls.type); };
  if (is_a(FilterForm<CkfState>::cls)) {
    auto& inst = *reinterpret_cast<CkfInstance*>(filter);
    ObjectBorrow guard(inst.borrow, BorrowKind::Write);
    return Ckf(inst, args);
  }
  if (is_a(FilterForm<SrckfState>::cls)) {
    auto& inst = *reinterpret_cast<SrckfInstance*>(filter);
    ObjectBorrow guard(inst.borrow, BorrowKind::Write);
    return Srckf(inst, args);
  }
  fail(Error::type("filter must be a CubatureKalmanFilter or SquareRootCubatureKalmanFilter, got " +
                   type_name(filter)));
}

}  // namespace vexel::py
