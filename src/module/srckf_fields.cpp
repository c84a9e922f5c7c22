// SquareRootCubatureKalmanFilter: its own rows of the field table (the
// Cholesky factors, and the covariance names read as their products) and
// set_state.
#include "filter_forms.hpp"

#include "../srckf/srckf_ops.hpp"

namespace vexel::py {

using Form = FilterForm<SrckfState>;

namespace {

constexpr Dim X = Dim::X;
constexpr Dim Z = Dim::Z;

// Each covariance name with the factor it stands for.  P, Q and R can be
// assigned (factored once into chol_P, chol_Q, chol_R, which `set` keeps
// finite, as the factors every later step builds on); the others are read
// only.
const std::vector<ProductDesc<SrckfState>> kProducts = {
    {"P", "chol_P", true, X, [](SrckfState& s) -> void* { return &s.chol_P; }},
    {"Q", "chol_Q", true, X, [](SrckfState& s) -> void* { return &s.chol_Q; }},
    {"R", "chol_R", true, Z, [](SrckfState& s) -> void* { return &s.chol_R; }},
    {"S", "S_innov", false, Z, [](SrckfState& s) -> void* { return &s.S_innov; }},
    {"P_prior", "chol_P_prior", false, X, [](SrckfState& s) -> void* { return &s.chol_P_prior; }},
    {"P_post", "chol_P_post", false, X, [](SrckfState& s) -> void* { return &s.chol_P_post; }},
};

}  // namespace

template <>
const FilterFields<SrckfState>& Form::fields() {
  const auto& p = kProducts;
  static const FilterFields<SrckfState> table(
      FormRows<SrckfState>{
          {p[0].factor_row(), p[1].factor_row(), p[2].factor_row()},
          {p[3].factor_row()},
          p[4].factor_row(),
          p[5].factor_row(),
          {{"downdate_fallback_count", FieldKind::Count, X, X, false,
            [](SrckfState& s) -> void* { return &s.downdate_fallback_count; }}},
      },
      ProductRules<SrckfState>{
          kProducts,
          // Keys of a snapshot, in insertion order: each factor next to its
          // product.
          {"x", "chol_P", "P", "chol_Q", "Q", "chol_R", "R", "K", "y", "z", "S", "S_innov", "x_prior", "P_prior",
           "x_post", "P_post", "z_pred", "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter",
           "max_jitter", "jitter_count", "singular_innovation_count", "downdate_fallback_count", "chol_P_prior",
           "chol_P_post"},
          factor_product,
          assign_covariance,
      });
  return table;
}

template <>
void Form::set_state(SrckfState& s, PyObject* const* args) {
  // Exactly four assignments through `set`; a failure keeps the earlier ones.
  const FilterFields<SrckfState>& f = fields();
  f.write(s, "x", args[0]);
  f.write(s, "P", args[1]);
  f.write(s, "Q", args[2]);
  f.write(s, "R", args[3]);
}

}  // namespace vexel::py
