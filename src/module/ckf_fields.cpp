// CubatureKalmanFilter: construction-time state, field table, get/set and
// the small mutators.
#include "../kit/kit.hpp"
#include "ckf_module.hpp"

#include <cmath>

namespace vexel::py {

namespace {

using F = FieldDesc<CkfState>;
constexpr FieldKind V = FieldKind::Vector;
constexpr FieldKind M = FieldKind::Matrix;
constexpr FieldKind D = FieldKind::Double;
constexpr FieldKind C = FieldKind::Count;
constexpr Dim X = Dim::X;
constexpr Dim Z = Dim::Z;

// In snapshot order.
const F kCkfFields[] = {
    {"x", V, X, X, true, [](CkfState& s) -> void* { return &s.x; }},
    {"P", M, X, X, true, [](CkfState& s) -> void* { return &s.P; }},
    {"Q", M, X, X, true, [](CkfState& s) -> void* { return &s.Q; }},
    {"R", M, Z, Z, true, [](CkfState& s) -> void* { return &s.R; }},
    {"K", M, X, Z, false, [](CkfState& s) -> void* { return &s.K; }},
    {"y", V, Z, Z, false, [](CkfState& s) -> void* { return &s.y; }},
    {"z", V, Z, Z, false, [](CkfState& s) -> void* { return &s.z; }},
    {"S", M, Z, Z, false, [](CkfState& s) -> void* { return &s.S; }},
    {"SI", M, Z, Z, false, [](CkfState& s) -> void* { return &s.SI; }},
    {"x_prior", V, X, X, false, [](CkfState& s) -> void* { return &s.x_prior; }},
    {"P_prior", M, X, X, false, [](CkfState& s) -> void* { return &s.P_prior; }},
    {"x_post", V, X, X, false, [](CkfState& s) -> void* { return &s.x_post; }},
    {"P_post", M, X, X, false, [](CkfState& s) -> void* { return &s.P_post; }},
    {"z_pred", V, Z, Z, false, [](CkfState& s) -> void* { return &s.z_pred; }},
    {"log_likelihood", D, X, X, false, [](CkfState& s) -> void* { return &s.log_likelihood; }},
    {"likelihood", D, X, X, false, [](CkfState& s) -> void* { return &s.likelihood; }},
    {"mahalanobis", D, X, X, false, [](CkfState& s) -> void* { return &s.mahalanobis; }},
    {"nis", D, X, X, false, [](CkfState& s) -> void* { return &s.nis; }},
    {"last_jitter", D, X, X, false, [](CkfState& s) -> void* { return &s.jitter.last_jitter; }},
    {"max_jitter", D, X, X, false, [](CkfState& s) -> void* { return &s.jitter.max_jitter; }},
    {"jitter_count", C, X, X, false, [](CkfState& s) -> void* { return &s.jitter.jitter_count; }},
    {"singular_innovation_count", C, X, X, false,
     [](CkfState& s) -> void* { return &s.singular_innovation_count; }},
};

const F& lookup(const std::string& name) {
  const F* f = find_field(kCkfFields, name);
  if (f == nullptr) unknown_field(name);
  return *f;
}

}  // namespace

Ref ckf_get(CkfInstance& self, PyObject* const* args) {
  const std::string name = arg_string(args[0], "name");
  return read_field(self.state, lookup(name));
}

Ref ckf_set(CkfInstance& self, PyObject* const* args) {
  const std::string name = arg_string(args[0], "name");
  write_field(self.state, lookup(name), args[1], name);
  return none();
}

Ref ckf_set_state(CkfInstance& self, PyObject* const* args) {
  ArrayIn x = arg_array(args[0], 1, "x");
  ArrayIn p = arg_array(args[1], 2, "p");
  ArrayIn q = arg_array(args[2], 2, "q");
  ArrayIn r = arg_array(args[3], 2, "r");
  CkfState& s = self.state;
  // Each assignment stands on its own: a failure keeps the earlier ones.
  s.x = pyarray1_to_dvector(x, s.dim_x, "x");
  s.P = pyarray2_to_dmatrix(p, s.dim_x, s.dim_x, "P");
  s.Q = pyarray2_to_dmatrix(q, s.dim_x, s.dim_x, "Q");
  s.R = pyarray2_to_dmatrix(r, s.dim_z, s.dim_z, "R");
  return none();
}

Ref ckf_set_dt(CkfInstance& self, PyObject* const* args) {
  const double dt = arg_double(args[0], "dt");
  if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));
  self.state.dt = dt;
  return none();
}

Ref ckf_reset_jitter_counters(CkfInstance& self) {
  self.state.reset_jitter_counters();
  return none();
}

}  // namespace vexel::py

namespace vexel::py {

Ref ckf_field_table() { return field_rows(kCkfFields); }

Ref ckf_snapshot(CkfInstance& self) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) fail_python();
  for (const F& f : kCkfFields) {
    Ref value = read_field(self.state, f);
    if (PyDict_SetItemString(dict.get(), f.name, value.get()) < 0) fail_python();
  }
  return dict;
}

Ref ckf_load_snapshot(CkfInstance& self, PyObject* const* args) {
  PyObject* state = arg_dict(args[0], "state");
  for (const F& f : kCkfFields) {
    PyObject* found = dict_lookup(state, f.name);
    if (found == nullptr) continue;
    // Held strongly: a conversion may run Python code that mutates the dict.
    Ref value = Ref::borrow(found);
    write_field(self.state, f, value.get(), f.name);
  }
  return none();
}

}  // namespace vexel::py
