// The field tables of both filter forms, written once: the rows the forms
// share, the places where each form adds its own, and get, set, snapshot,
// load_snapshot and the exported table over them.
//
// The covariance form stores its covariances as fields.  The square-root
// form stores factors; its covariance names exist only here, read as the
// product of a factor and, for P, Q and R, factored once on assignment.
#pragma once

#include "../kit/kit.hpp"

#include <string>
#include <vector>

namespace vexel::py {

/// A covariance name of the square-root form, standing for its factor.
template <class State>
struct ProductDesc {
  const char* name;         // "P"
  const char* factor_name;  // "chol_P"
  bool settable;            // assigned by factoring; its factor must stay finite
  Dim dim;
  void* (*factor)(State&);

  /// The stored row of the factor itself.
  FieldDesc<State> factor_row() const { return {factor_name, FieldKind::Matrix, dim, dim, settable, factor}; }
  DMatrix& matrix(State& s) const { return *static_cast<DMatrix*>(factor(s)); }
};

/// A form's own stored rows, at the places where the forms differ.
template <class State>
struct FormRows {
  std::vector<FieldDesc<State>> noise;       // after x: state and noise covariances or factors
  std::vector<FieldDesc<State>> innovation;  // after K, y, z
  FieldDesc<State> prior;                    // after x_prior
  FieldDesc<State> posterior;                // after x_post
  std::vector<FieldDesc<State>> counters;    // after the shared counters
};

/// Product and factorisation of the square-root form's covariance names.
template <class State>
struct ProductRules {
  std::vector<ProductDesc<State>> products;
  std::vector<const char*> snapshot_keys;  // each factor next to its product
  DMatrix (*product)(const DMatrix& factor);
  Status (*assign)(State& s, DMatrix& factor, const DMatrix& cov);
};

template <class State>
class FilterFields {
 public:
  using F = FieldDesc<State>;

  explicit FilterFields(const FormRows<State>& own, ProductRules<State> rules = {}) : rules_(std::move(rules)) {
    constexpr FieldKind V = FieldKind::Vector;
    constexpr FieldKind M = FieldKind::Matrix;
    constexpr FieldKind D = FieldKind::Double;
    constexpr FieldKind C = FieldKind::Count;
    constexpr Dim X = Dim::X;
    constexpr Dim Z = Dim::Z;
    // The order is the snapshot order and the order load_snapshot applies.
    add({{"x", V, X, X, true, [](State& s) -> void* { return &s.x; }}});
    add(own.noise);
    add({{"K", M, X, Z, false, [](State& s) -> void* { return &s.K; }},
         {"y", V, Z, Z, false, [](State& s) -> void* { return &s.y; }},
         {"z", V, Z, Z, false, [](State& s) -> void* { return &s.z; }}});
    add(own.innovation);
    add({{"x_prior", V, X, X, false, [](State& s) -> void* { return &s.x_prior; }}, own.prior,
         {"x_post", V, X, X, false, [](State& s) -> void* { return &s.x_post; }}, own.posterior,
         {"z_pred", V, Z, Z, false, [](State& s) -> void* { return &s.z_pred; }},
         {"log_likelihood", D, X, X, false, [](State& s) -> void* { return &s.log_likelihood; }},
         {"likelihood", D, X, X, false, [](State& s) -> void* { return &s.likelihood; }},
         {"mahalanobis", D, X, X, false, [](State& s) -> void* { return &s.mahalanobis; }},
         {"nis", D, X, X, false, [](State& s) -> void* { return &s.nis; }},
         {"last_jitter", D, X, X, false, [](State& s) -> void* { return &s.jitter.last_jitter; }},
         {"max_jitter", D, X, X, false, [](State& s) -> void* { return &s.jitter.max_jitter; }},
         {"jitter_count", C, X, X, false, [](State& s) -> void* { return &s.jitter.jitter_count; }},
         {"singular_innovation_count", C, X, X, false,
          [](State& s) -> void* { return &s.singular_innovation_count; }}});
    add(own.counters);
  }

  /// get: a stored field as it is, a covariance name as a product.
  Ref read(State& s, const std::string& name) const {
    if (const F* f = find(name)) return read_field(s, *f);
    if (const ProductDesc<State>* p = find_product(name)) return dmatrix_to_pyarray(rules_.product(p->matrix(s)));
    unknown_field(name);
  }

  /// set: a stored field converted and replaced, a settable covariance name
  /// factored once.  Leaves the state unchanged on failure.
  void write(State& s, const std::string& name, PyObject* value) const {
    if (const F* f = find(name)) {
      write_field(s, *f, value, name);
      return;
    }
    const ProductDesc<State>* p = find_product(name);
    if (p == nullptr || !p->settable) unknown_field(name);
    const Index n = p->dim == Dim::X ? s.dim_x : s.dim_z;
    const DMatrix cov = finite_matrix(value, n, n, name);
    unwrap(rules_.assign(s, p->matrix(s), cov));
  }

  /// snapshot: every name with its value, in snapshot order.
  Ref snapshot(State& s) const {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) fail_python();
    for (const char* key : keys()) {
      Ref value = read(s, key);
      if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) fail_python();
    }
    return dict;
  }

  /// load_snapshot: `set` every stored field present in `state`, in table
  /// order; covariance names are never read, so nothing is re-factored.
  void load_snapshot(State& s, PyObject* state) const {
    for (const F& f : stored_) {
      PyObject* found = dict_lookup(state, f.name);
      if (found == nullptr) continue;
      // Held strongly: a conversion may run Python code that mutates the dict.
      Ref value = Ref::borrow(found);
      write_field(s, f, value.get(), f.name);
    }
  }

  /// The exported rows (name, type, shape, settable), in snapshot order.
  Ref table() const {
    const std::vector<const char*> names = keys();
    Ref rows = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!rows) fail_python();
    for (std::size_t i = 0; i < names.size(); ++i) {
      Ref row;
      if (const F* f = find(names[i])) {
        row = field_row(f->name, f->kind, f->rows, f->cols, true);
      } else {
        const ProductDesc<State>* p = find_product(names[i]);
        if (p == nullptr) fail(Error::panic("snapshot key without a field"));
        row = field_row(p->name, FieldKind::Matrix, p->dim, p->dim, p->settable);
      }
      PyTuple_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return rows;
  }

 private:
  void add(const std::vector<F>& rows) { stored_.insert(stored_.end(), rows.begin(), rows.end()); }

  const F* find(const std::string& name) const {
    for (const F& f : stored_) {
      if (name == f.name) return &f;
    }
    return nullptr;
  }

  const ProductDesc<State>* find_product(const std::string& name) const {
    for (const ProductDesc<State>& p : rules_.products) {
      if (name == p.name) return &p;
    }
    return nullptr;
  }

  std::vector<const char*> keys() const {
    if (!rules_.snapshot_keys.empty()) return rules_.snapshot_keys;
    std::vector<const char*> names;
    for (const F& f : stored_) names.push_back(f.name);
    return names;
  }

  std::vector<F> stored_;
  ProductRules<State> rules_;
};

}  // namespace vexel::py
