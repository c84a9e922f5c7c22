// Python class CubatureKalmanFilter: type object and method bodies.
#pragma once

#include "../kit/kit.hpp"

#include "../ckf/ckf_state.hpp"

namespace vexel::py {

using CkfInstance = Instance<CkfState>;

/// Registration of the class (type pointer set once it is created).
extern ClassInfo g_ckf_class;

/// Create the type object on first use; returns a new reference.
Ref ckf_type();

// Field access and small mutators.
Ref ckf_get(CkfInstance& self, PyObject* const* args);
Ref ckf_set(CkfInstance& self, PyObject* const* args);
Ref ckf_set_state(CkfInstance& self, PyObject* const* args);
Ref ckf_set_dt(CkfInstance& self, PyObject* const* args);
Ref ckf_reset_jitter_counters(CkfInstance& self);

// Callback-driven prediction and update.
Ref ckf_predict_custom(CkfInstance& self, PyObject* const* args);
Ref ckf_update(CkfInstance& self, PyObject* const* args);
Ref ckf_clear_update_diagnostics(CkfInstance& self);

/// The field table as rows (name, type, shape, settable), in snapshot order.
Ref ckf_field_table();

// Whole-state transfer and step recording.
Ref ckf_snapshot(CkfInstance& self);
Ref ckf_load_snapshot(CkfInstance& self, PyObject* const* args);
Ref ckf_copy(CkfInstance& self);
Ref ckf_record_step(CkfInstance& self, PyObject* const* args);

// Callback-free predictions, the AHRS update and the motion-model name lists.
Ref ckf_predict_standard_model(CkfInstance& self, PyObject* const* args);
Ref ckf_predict_standard_model_ckf(CkfInstance& self, PyObject* const* args);
Ref ckf_predict_linear_model(CkfInstance& self, PyObject* const* args);
Ref ckf_predict_linear_model_ckf(CkfInstance& self, PyObject* const* args);
Ref ckf_update_paper_ahrs(CkfInstance& self, PyObject* const* args);
Ref ckf_normalize_quaternion_state(CkfInstance& self);
PyObject* ckf_supported_standard_models(PyObject* cls, PyObject* unused);
PyObject* ckf_supported_standard_layouts(PyObject* cls, PyObject* unused);

}  // namespace vexel::py
