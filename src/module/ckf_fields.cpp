// CubatureKalmanFilter: its own rows of the field table (the covariances,
// stored as matrices) and set_state.
#include "filter_forms.hpp"

namespace vexel::py {

using Form = FilterForm<CkfState>;

namespace {

constexpr FieldKind M = FieldKind::Matrix;
constexpr Dim X = Dim::X;
constexpr Dim Z = Dim::Z;

/// Every covariance is a plain stored matrix; `set` keeps P, Q and R finite.
FieldDesc<CkfState> covariance(const char* name, Dim dim, bool finite, void* (*field)(CkfState&)) {
  return {name, M, dim, dim, finite, field};
}

}  // namespace

template <>
const FilterFields<CkfState>& Form::fields() {
  static const FilterFields<CkfState> table(FormRows<CkfState>{
      {covariance("P", X, true, [](CkfState& s) -> void* { return &s.P; }),
       covariance("Q", X, true, [](CkfState& s) -> void* { return &s.Q; }),
       covariance("R", Z, true, [](CkfState& s) -> void* { return &s.R; })},
      {covariance("S", Z, false, [](CkfState& s) -> void* { return &s.S; }),
       covariance("SI", Z, false, [](CkfState& s) -> void* { return &s.SI; })},
      covariance("P_prior", X, false, [](CkfState& s) -> void* { return &s.P_prior; }),
      covariance("P_post", X, false, [](CkfState& s) -> void* { return &s.P_post; }),
      {},
  });
  return table;
}

template <>
void Form::set_state(CkfState& s, PyObject* const* args) {
  ArrayIn x = arg_array(args[0], 1, "x");
  ArrayIn p = arg_array(args[1], 2, "p");
  ArrayIn q = arg_array(args[2], 2, "q");
  ArrayIn r = arg_array(args[3], 2, "r");
  // Each assignment stands on its own: a failure keeps the earlier ones.
  s.x = pyarray1_to_dvector(x, s.dim_x, "x");
  s.P = pyarray2_to_dmatrix(p, s.dim_x, s.dim_x, "P");
  s.Q = pyarray2_to_dmatrix(q, s.dim_x, s.dim_x, "Q");
  s.R = pyarray2_to_dmatrix(r, s.dim_z, s.dim_z, "R");
}

}  // namespace vexel::py
