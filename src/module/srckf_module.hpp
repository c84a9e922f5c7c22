// Python class SquareRootCubatureKalmanFilter: type object and method bodies.
#pragma once

#include "../kit/kit.hpp"

#include "../srckf/srckf_state.hpp"

#include <string>

namespace vexel::py {

using SrckfInstance = Instance<SrckfState>;

/// Registration of the class (type pointer set once it is created).
extern ClassInfo g_srckf_class;

/// Create the type object on first use; returns a new reference.
Ref srckf_type();

/// Field access by Python attribute name (the square-root field table):
/// stored fields as they are, covariance names as products of their factors.
Ref srckf_read(SrckfState& s, const std::string& name);
/// Assignment by name: stored fields converted and replaced, P/Q/R factored
/// once.  Leaves the state unchanged on failure.
void srckf_write(SrckfState& s, const std::string& name, PyObject* value);

/// The field table as rows (name, type, shape, settable), in snapshot order:
/// stored fields and factors, and the covariance names read as products.
Ref srckf_field_table();

// Method bodies, in registration order.
Ref srckf_set_state(SrckfInstance& self, PyObject* const* args);
Ref srckf_set_dt(SrckfInstance& self, PyObject* const* args);
Ref srckf_reset_jitter_counters(SrckfInstance& self);
Ref srckf_get(SrckfInstance& self, PyObject* const* args);
Ref srckf_set(SrckfInstance& self, PyObject* const* args);
Ref srckf_load_snapshot(SrckfInstance& self, PyObject* const* args);
Ref srckf_snapshot(SrckfInstance& self);

}  // namespace vexel::py
