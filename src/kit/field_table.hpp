// Field tables: access to a filter's fields by their Python attribute name.
//
// One table per class drives `get`, `set`, `snapshot` and `load_snapshot`,
// so the names, shapes and checks are written down exactly once.
#pragma once

#include "arguments.hpp"
#include "array_convert.hpp"
#include "array_output.hpp"
#include "errors.hpp"
#include "results.hpp"

#include <cstdint>
#include <string>

namespace vexel::py {

enum class FieldKind {
  Vector,  // DVector
  Matrix,  // DMatrix
  Double,  // double, any value the float conversion gives
  Count    // unsigned 64-bit counter
};

/// Which filter dimension an extent refers to.
enum class Dim { X, Z };

template <class State>
struct FieldDesc {
  const char* name;
  FieldKind kind;
  Dim rows;     // vectors: length
  Dim cols;     // matrices only
  bool finite;  // `set` requires finite values
  void* (*ptr)(State&);

  Index extent(const State& s, Dim d) const { return d == Dim::X ? s.dim_x : s.dim_z; }
  DVector& vec(State& s) const { return *static_cast<DVector*>(ptr(s)); }
  DMatrix& mat(State& s) const { return *static_cast<DMatrix*>(ptr(s)); }
  double& dbl(State& s) const { return *static_cast<double*>(ptr(s)); }
  std::uint64_t& cnt(State& s) const { return *static_cast<std::uint64_t*>(ptr(s)); }
};

/// The unknown-field error: ValueError with the name in quoted form.
[[noreturn]] void unknown_field(const std::string& name);
/// The name between double quotes, with backslash escapes.
std::string quote_name(const std::string& name);

template <class State, std::size_t N>
const FieldDesc<State>* find_field(const FieldDesc<State> (&table)[N], const std::string& name) {
  for (const FieldDesc<State>& f : table) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

/// get: a fresh array or a Python scalar.
template <class State>
Ref read_field(State& s, const FieldDesc<State>& f) {
  switch (f.kind) {
    case FieldKind::Vector:
      return vector_to_pyarray(f.vec(s));
    case FieldKind::Matrix:
      return dmatrix_to_pyarray(f.mat(s));
    case FieldKind::Double:
      return new_float(f.dbl(s));
    case FieldKind::Count:
      return new_u64(f.cnt(s));
  }
  fail(Error::panic("unknown field kind"));
}

/// set: convert and check the value completely, then replace the field.
template <class State>
void write_field(State& s, const FieldDesc<State>& f, PyObject* value, const std::string& name) {
  switch (f.kind) {
    case FieldKind::Vector: {
      const Index n = f.extent(s, f.rows);
      DVector v = f.finite ? finite_vector(value, n, name) : extract_vector(value, n, name);
      f.vec(s) = std::move(v);
      return;
    }
    case FieldKind::Matrix: {
      const Index r = f.extent(s, f.rows);
      const Index c = f.extent(s, f.cols);
      DMatrix m = f.finite ? finite_matrix(value, r, c, name) : extract_matrix(value, r, c, name);
      f.mat(s) = std::move(m);
      return;
    }
    case FieldKind::Double:
      f.dbl(s) = to_double(value);
      return;
    case FieldKind::Count:
      f.cnt(s) = to_u64(value);
      return;
  }
  fail(Error::panic("unknown field kind"));
}

/// One row of an exported field table: (name, type, shape, settable) with
/// type "array", "float" or "int" and shape a tuple of dimension names
/// ("dim_x", "dim_z"; empty for scalars).  The Python layer builds its
/// attributes and checks from these rows instead of a second list of names.
Ref field_row(const char* name, FieldKind kind, Dim rows, Dim cols, bool settable);

template <class State, std::size_t N>
Ref field_rows(const FieldDesc<State> (&table)[N]) {
  Ref rows = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
  if (!rows) fail_python();
  for (std::size_t i = 0; i < N; ++i) {
    const FieldDesc<State>& f = table[i];
    PyTuple_SetItem(rows.get(), static_cast<Py_ssize_t>(i), field_row(f.name, f.kind, f.rows, f.cols, true).release());
  }
  return rows;
}

/// Plain dict lookup of a str key (no __missing__, no overridden
/// __getitem__); nullptr when absent.  An error raised while comparing keys
/// is passed on.
PyObject* dict_lookup(PyObject* dict, const char* key);

}  // namespace vexel::py
