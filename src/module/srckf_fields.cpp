// SquareRootCubatureKalmanFilter: the field table, get/set, set_state,
// set_dt, reset_jitter_counters, snapshot and load_snapshot.
//
// The table has two halves.  Stored fields (the factors, vectors, diagnostics
// and counters) go through the generic field machinery.  Covariance names
// exist only here at the boundary: reading one returns the product of its
// factor, and assigning P, Q or R factors the matrix once.
#include "../kit/kit.hpp"
#include "srckf_module.hpp"

#include <cmath>

namespace vexel::py {

namespace {

using F = FieldDesc<SrckfState>;
constexpr FieldKind V = FieldKind::Vector;
constexpr FieldKind M = FieldKind::Matrix;
constexpr FieldKind D = FieldKind::Double;
constexpr FieldKind C = FieldKind::Count;
constexpr Dim X = Dim::X;
constexpr Dim Z = Dim::Z;

// The stored fields, in the order load_snapshot applies them.  The `finite`
// flag marks what `set` must keep finite: the mean and the three factors
// every later step builds on.
const F kStored[] = {
    {"x", V, X, X, true, [](SrckfState& s) -> void* { return &s.x; }},
    {"chol_P", M, X, X, true, [](SrckfState& s) -> void* { return &s.chol_P; }},
    {"chol_Q", M, X, X, true, [](SrckfState& s) -> void* { return &s.chol_Q; }},
    {"chol_R", M, Z, Z, true, [](SrckfState& s) -> void* { return &s.chol_R; }},
    {"K", M, X, Z, false, [](SrckfState& s) -> void* { return &s.K; }},
    {"y", V, Z, Z, false, [](SrckfState& s) -> void* { return &s.y; }},
    {"z", V, Z, Z, false, [](SrckfState& s) -> void* { return &s.z; }},
    {"S_innov", M, Z, Z, false, [](SrckfState& s) -> void* { return &s.S_innov; }},
    {"x_prior", V, X, X, false, [](SrckfState& s) -> void* { return &s.x_prior; }},
    {"chol_P_prior", M, X, X, false, [](SrckfState& s) -> void* { return &s.chol_P_prior; }},
    {"x_post", V, X, X, false, [](SrckfState& s) -> void* { return &s.x_post; }},
    {"chol_P_post", M, X, X, false, [](SrckfState& s) -> void* { return &s.chol_P_post; }},
    {"z_pred", V, Z, Z, false, [](SrckfState& s) -> void* { return &s.z_pred; }},
    {"log_likelihood", D, X, X, false, [](SrckfState& s) -> void* { return &s.log_likelihood; }},
    {"likelihood", D, X, X, false, [](SrckfState& s) -> void* { return &s.likelihood; }},
    {"mahalanobis", D, X, X, false, [](SrckfState& s) -> void* { return &s.mahalanobis; }},
    {"nis", D, X, X, false, [](SrckfState& s) -> void* { return &s.nis; }},
    {"last_jitter", D, X, X, false, [](SrckfState& s) -> void* { return &s.jitter.last_jitter; }},
    {"max_jitter", D, X, X, false, [](SrckfState& s) -> void* { return &s.jitter.max_jitter; }},
    {"jitter_count", C, X, X, false, [](SrckfState& s) -> void* { return &s.jitter.jitter_count; }},
    {"singular_innovation_count", C, X, X, false,
     [](SrckfState& s) -> void* { return &s.singular_innovation_count; }},
    {"downdate_fallback_count", C, X, X, false, [](SrckfState& s) -> void* { return &s.downdate_fallback_count; }},
};

/// A covariance name: read as the product of its factor; P, Q and R can be
/// assigned (factored into the factor), the others are read-only.
struct ProductDesc {
  const char* name;
  bool settable;
  Dim dim;
  DMatrix& (*factor)(SrckfState&);
};

const ProductDesc kProducts[] = {
    {"P", true, X, [](SrckfState& s) -> DMatrix& { return s.chol_P; }},
    {"Q", true, X, [](SrckfState& s) -> DMatrix& { return s.chol_Q; }},
    {"R", true, Z, [](SrckfState& s) -> DMatrix& { return s.chol_R; }},
    {"S", false, Z, [](SrckfState& s) -> DMatrix& { return s.S_innov; }},
    {"P_prior", false, X, [](SrckfState& s) -> DMatrix& { return s.chol_P_prior; }},
    {"P_post", false, X, [](SrckfState& s) -> DMatrix& { return s.chol_P_post; }},
};

const ProductDesc* find_product(const std::string& name) {
  for (const ProductDesc& p : kProducts) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

// Keys of a snapshot, in insertion order: each factor next to its product.
const char* const kSnapshotKeys[] = {
    "x",           "chol_P",         "P",           "chol_Q",  "Q",         "chol_R",
    "R",           "K",              "y",           "z",       "S",         "S_innov",
    "x_prior",     "P_prior",        "x_post",      "P_post",  "z_pred",    "log_likelihood",
    "likelihood",  "mahalanobis",    "nis",         "last_jitter", "max_jitter", "jitter_count",
    "singular_innovation_count", "downdate_fallback_count", "chol_P_prior", "chol_P_post",
};

}  // namespace

Ref srckf_read(SrckfState& s, const std::string& name) {
  if (const F* f = find_field(kStored, name)) return read_field(s, *f);
  if (const ProductDesc* p = find_product(name)) return dmatrix_to_pyarray(factor_product(p->factor(s)));
  unknown_field(name);
}

void srckf_write(SrckfState& s, const std::string& name, PyObject* value) {
  if (const F* f = find_field(kStored, name)) {
    write_field(s, *f, value, name);
    return;
  }
  const ProductDesc* p = find_product(name);
  if (p == nullptr || !p->settable) unknown_field(name);
  const Index n = p->dim == Dim::X ? s.dim_x : s.dim_z;
  const DMatrix cov = finite_matrix(value, n, n, name);
  unwrap(s.assign_covariance(p->factor(s), cov));
}

Ref srckf_field_table() {
  constexpr std::size_t n = sizeof(kSnapshotKeys) / sizeof(kSnapshotKeys[0]);
  Ref rows = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!rows) fail_python();
  for (std::size_t i = 0; i < n; ++i) {
    const char* key = kSnapshotKeys[i];
    Ref row;
    if (const F* f = find_field(kStored, key)) {
      row = field_row(f->name, f->kind, f->rows, f->cols, true);
    } else {
      const ProductDesc* p = find_product(key);
      if (p == nullptr) fail(Error::panic("snapshot key without a field"));
      row = field_row(p->name, FieldKind::Matrix, p->dim, p->dim, p->settable);
    }
    PyTuple_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row.release());
  }
  return rows;
}

Ref srckf_get(SrckfInstance& self, PyObject* const* args) {
  const std::string name = arg_string(args[0], "name");
  return srckf_read(self.state, name);
}

Ref srckf_set(SrckfInstance& self, PyObject* const* args) {
  const std::string name = arg_string(args[0], "name");
  srckf_write(self.state, name, args[1]);
  return none();
}

Ref srckf_set_state(SrckfInstance& self, PyObject* const* args) {
  // Exactly four assignments through `set`; a failure keeps the earlier ones.
  srckf_write(self.state, "x", args[0]);
  srckf_write(self.state, "P", args[1]);
  srckf_write(self.state, "Q", args[2]);
  srckf_write(self.state, "R", args[3]);
  return none();
}

Ref srckf_set_dt(SrckfInstance& self, PyObject* const* args) {
  const double dt = arg_double(args[0], "dt");
  if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));
  self.state.dt = dt;
  return none();
}

Ref srckf_reset_jitter_counters(SrckfInstance& self) {
  self.state.reset_jitter_counters();
  return none();
}

Ref srckf_snapshot(SrckfInstance& self) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) fail_python();
  for (const char* key : kSnapshotKeys) {
    Ref value = srckf_read(self.state, key);
    if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) fail_python();
  }
  return dict;
}

Ref srckf_load_snapshot(SrckfInstance& self, PyObject* const* args) {
  PyObject* state = arg_dict(args[0], "state");
  // Factors only: the product keys are never read, so nothing is re-factored.
  for (const F& f : kStored) {
    PyObject* found = dict_lookup(state, f.name);
    if (found == nullptr) continue;
    // Hold the value: a conversion may run Python code that edits the dict.
    const Ref value = Ref::borrow(found);
    write_field(self.state, f, value.get(), f.name);
  }
  return none();
}

}  // namespace vexel::py
