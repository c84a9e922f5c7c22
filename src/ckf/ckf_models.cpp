#include "ckf_models.hpp"

#include "ckf_ops.hpp"

#include "../kernels/ahrs_model.hpp"
#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"
#include "../kernels/motion_models.hpp"

#include <cmath>
#include <utility>

namespace vexel {

namespace {

constexpr const char kNormsMessage[] = "acceleration and magnetic measurements must have positive finite norms";

/// Scales z[first..first+2] to unit length: s = (a*a + b*b) + c*c, n = sqrt(s),
/// then a division per component.  False for a zero or non-finite norm.
bool normalize_half(DVector& z, Index first) {
  const double a = z.coeff(first);
  const double b = z.coeff(first + 1);
  const double c = z.coeff(first + 2);
  const double aa = a * a;
  const double bb = b * b;
  const double cc = c * c;
  const double s = (aa + bb) + cc;
  const double n = std::sqrt(s);
  // An underflow of s to 0 or an overflow to inf is a failure too: the
  // direction is then not representable to full precision.
  if (s == 0.0 || !std::isfinite(n)) return false;
  z.coeffRef(first) = a / n;
  z.coeffRef(first + 1) = b / n;
  z.coeffRef(first + 2) = c / n;
  return true;
}

}  // namespace

Result<DMatrix> standard_transition(const CkfState& s, const std::string& model_type, const std::string& layout) {
  return transition_matrix(model_type, layout, s.dim_x, s.dt);
}

namespace {

/// out = A B for n by n column-major A, B: column j of out is the sum over k
/// of column k of A times B(k, j) (or times B(j, k) when B is transposed),
/// accumulated in increasing k from the k = 0 term.  N > 0 fixes n at
/// compile time so that small sizes unroll and stay in registers.
template <Index N, bool TransposeB>
void square_product(Index n_dyn, const double* a, const double* b, double* out) {
  const Index n = N > 0 ? N : n_dyn;
  for (Index j = 0; j < n; ++j) {
    double* o = out + j * n;
    const double b0 = TransposeB ? b[j] : b[j * n];
    for (Index i = 0; i < n; ++i) o[i] = a[i] * b0;
    for (Index k = 1; k < n; ++k) {
      const double* ak = a + k * n;
      const double bk = TransposeB ? b[k * n + j] : b[j * n + k];
      for (Index i = 0; i < n; ++i) o[i] = o[i] + ak[i] * bk;
    }
  }
}

/// out = A v, with the same order of accumulation.
template <Index N>
void square_times_vector(Index n_dyn, const double* a, const double* v, double* out) {
  const Index n = N > 0 ? N : n_dyn;
  for (Index i = 0; i < n; ++i) out[i] = a[i] * v[0];
  for (Index k = 1; k < n; ++k) {
    const double* ak = a + k * n;
    for (Index i = 0; i < n; ++i) out[i] = out[i] + ak[i] * v[k];
  }
}

/// x_new = F x and P_new = (F P) F^T, with F P in `fp` (each n * n doubles,
/// x_new n doubles).
template <Index N>
void closed_form_products(const CkfState& s, const DMatrix& F, double* fp, double* x_new, double* p_new) {
  const Index n = s.dim_x;
  square_product<N, false>(n, F.data(), s.P.data(), fp);
  square_times_vector<N>(n, F.data(), s.x.data(), x_new);
  square_product<N, true>(n, fp, F.data(), p_new);
}

}  // namespace

Status predict_linear_closed_form(CkfState& s, const DMatrix& F) {
  const Index n = s.dim_x;
  if (F.rows() != n || F.cols() != n) internal_failure("F is dim_x by dim_x", __FILE__, __LINE__);
  // F P and the new (x, P) are temporaries, so that an overflow leaves the
  // filter as it was.  They live on the stack for small filters; only a
  // larger one allocates, before anything is written, so a failed
  // allocation changes nothing either.
  //
  // Filters are usually small (a handful of states), where run-time sized
  // library products cost more in dispatch than in arithmetic: the common
  // sizes get products with the size fixed at compile time.
  constexpr Index kStackDim = 8;
  double stack[3 * kStackDim * kStackDim];
  DMatrix heap;
  double* fp = stack;
  if (n > kStackDim) {
    heap.resize(n * n, 3);
    fp = heap.data();
  }
  double* p_new = fp + n * n;
  double* x_new = p_new + n * n;
  switch (n) {
    case 1: closed_form_products<1>(s, F, fp, x_new, p_new); break;
    case 2: closed_form_products<2>(s, F, fp, x_new, p_new); break;
    case 3: closed_form_products<3>(s, F, fp, x_new, p_new); break;
    case 4: closed_form_products<4>(s, F, fp, x_new, p_new); break;
    case 5: closed_form_products<5>(s, F, fp, x_new, p_new); break;
    case 6: closed_form_products<6>(s, F, fp, x_new, p_new); break;
    default: closed_form_products<0>(s, F, fp, x_new, p_new); break;
  }
  // Plus Q, then symmetrised: each off-diagonal pair becomes the mean of
  // its two entries.
  const double* q = s.Q.data();
  for (Index k = 0; k < n * n; ++k) p_new[k] = p_new[k] + q[k];
  for (Index j = 1; j < n; ++j) {
    for (Index i = 0; i < j; ++i) {
      const double v = (p_new[j * n + i] + p_new[i * n + j]) * 0.5;
      p_new[j * n + i] = v;
      p_new[i * n + j] = v;
    }
  }
  if (!all_finite(x_new, n) || !all_finite(p_new, n * n)) return non_finite_prediction();
  // Copies into storage of the same size: no allocation, no failure.
  s.x_prior = Eigen::Map<const DVector>(x_new, n);
  s.P_prior = Eigen::Map<const DMatrix>(p_new, n, n);
  s.x = s.x_prior;
  s.P = s.P_prior;
  return Status::success();
}

Status predict_linear_through_points(CkfState& s, const DMatrix& F) {
  const Index n = s.dim_x;
  if (F.rows() != n || F.cols() != n) internal_failure("F is dim_x by dim_x", __FILE__, __LINE__);
  // Points of (x, P); a failed factorisation changes nothing.
  auto points = cubature_points(s.x, s.P);
  if (!points) return points.take_error();
  PointSet& ps = points.value();
  // Row i of Y is F applied to point i.
  DMatrix Y(ps.X.rows(), n);
  Y.noalias() = ps.X * F.transpose();
  // Sample moments about the propagated mean, plus Q, stored as prior
  // with the jitter (unless they overflowed).
  return commit_prediction(s, std::move(Y), ps.jitter);
}

Status check_ahrs_setup(const CkfState& s, double sigma_acc2, double sigma_mag2) {
  if (s.dim_x != 4 || s.dim_z != 6) return Error::value("update_paper_ahrs requires dim_x == 4 and dim_z == 6");
  // "Not finite or not > 0" rejects NaN, both infinities and both zeros;
  // the smallest positive subnormal passes.
  if (!(std::isfinite(sigma_acc2) && sigma_acc2 > 0.0)) return Error::value("sigma_acc2 must be finite and positive");
  if (!(std::isfinite(sigma_mag2) && sigma_mag2 > 0.0)) return Error::value("sigma_mag2 must be finite and positive");
  return Status::success();
}

Status update_ahrs(CkfState& s, const DVector& z, double sigma_acc2, double sigma_mag2) {
  Status setup = check_ahrs_setup(s, sigma_acc2, sigma_mag2);
  if (!setup) return setup;
  if (z.size() != 6) internal_failure("AHRS measurement has six entries", __FILE__, __LINE__);

  // Only the directions of the two readings carry information: scale each
  // half to unit length before anything else.
  DVector z_n = z;
  if (!normalize_half(z_n, 0) || !normalize_half(z_n, 3)) return Error::value(kNormsMessage);

  // Reference magnetic direction at the measured angle to gravity.
  auto reference = magnetic_reference_terms(z_n);
  if (!reference) return reference.take_error();
  const MagneticReference ref = reference.value();

  auto points = cubature_points(s.x, s.P);
  if (!points) return points.take_error();
  PointSet& ps = points.value();

  DMatrix Zp = ahrs_observation_model(ps.X, ref.mx, ref.mz);

  DMatrix R6 = DMatrix::Zero(6, 6);
  for (Index i = 0; i < 3; ++i) {
    R6.coeffRef(i, i) = sigma_acc2;
    R6.coeffRef(i + 3, i + 3) = sigma_mag2;
  }

  // The cubature update proper, identical to the update with a Python
  // measurement function; it records the jitter (which stays recorded even
  // if the innovation inverse fails) and fails before storing.
  Status updated = update_from_points(s, std::move(ps.X), std::move(Zp), z_n, R6, ps.jitter);
  if (!updated) return updated;
  // The noise that produced S is kept next to it.  The likelihood terms do
  // not read R, so storing it after them gives the same state.
  s.R = R6;
  return Status::success();
}

Status normalize_quaternion_state(CkfState& s) {
  if (s.dim_x != 4) return Error::value("normalize_quaternion_state requires dim_x == 4");
  DVector& x = s.x;
  const double q0 = x.coeff(0) * x.coeff(0);
  const double q1 = x.coeff(1) * x.coeff(1);
  const double q2 = x.coeff(2) * x.coeff(2);
  const double q3 = x.coeff(3) * x.coeff(3);
  const double sum = ((q0 + q1) + q2) + q3;
  const double n = std::sqrt(sum);
  if (sum == 0.0 || !std::isfinite(n)) return Error::value("quaternion norm must be finite and positive");
  // A division per component, not a multiplication by a rounded 1/n.
  for (Index i = 0; i < 4; ++i) x.coeffRef(i) = x.coeff(i) / n;
  s.x_post = x;
  return Status::success();
}

}  // namespace vexel
