// The two filter forms of vexel_ckf._native, CubatureKalmanFilter
// (covariance form, src/module/ckf_*.cpp) and SquareRootCubatureKalmanFilter
// (square-root form, src/module/srckf_*.cpp): what the rest of the bindings
// refer to.
#pragma once

#include "filter_methods.hpp"

#include "../ckf/ckf_state.hpp"
#include "../srckf/srckf_state.hpp"

namespace vexel::py {

template <> const char FilterForm<CkfState>::kClassName[];
template <> const char FilterForm<SrckfState>::kClassName[];
template <> const FilterDocs FilterForm<CkfState>::kDocs;
template <> const FilterDocs FilterForm<SrckfState>::kDocs;

/// The class objects (new references), created on first use.
Ref ckf_type();
Ref srckf_type();
/// The exported field tables: rows (name, type, shape, settable).
Ref ckf_field_table();
Ref srckf_field_table();

}  // namespace vexel::py
