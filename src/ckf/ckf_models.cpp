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

void predict_kckf_linear(CkfState& s, const DMatrix& F) {
  const Index n = s.dim_x;
  if (F.rows() != n || F.cols() != n) internal_failure("F is dim_x by dim_x", __FILE__, __LINE__);
  // Everything is formed in temporaries and committed at the end, so an
  // allocation failure part way leaves the filter as it was.
  DVector x_new(n);
  x_new.noalias() = F * s.x;
  DMatrix FP(n, n);
  FP.noalias() = F * s.P;
  DMatrix P_new(n, n);
  P_new.noalias() = FP * F.transpose();
  P_new += s.Q;
  symmetrize_in_place(P_new);

  // Same-size assignments reuse the existing storage of the priors.
  s.x_prior = x_new;
  s.P_prior = P_new;
  s.x = std::move(x_new);
  s.P = std::move(P_new);
}

Status predict_ckf_linear(CkfState& s, const DMatrix& F) {
  const Index n = s.dim_x;
  if (F.rows() != n || F.cols() != n) internal_failure("F is dim_x by dim_x", __FILE__, __LINE__);
  // 1. Points of (x, P); a failed factorisation changes nothing.
  auto points = cubature_points(s.x, s.P);
  if (!points) return points.take_error();
  PointSet& ps = points.value();
  // 2. Nothing after this can fail, so the jitter is recorded right away.
  record_jitter_overwrite(s.jitter, ps.jitter);
  // 3. Row i of Y is F applied to point i.
  DMatrix Y(ps.X.rows(), n);
  Y.noalias() = ps.X * F.transpose();
  // 4-5. Sample moments about the propagated mean, plus Q, stored as prior.
  commit_prediction(s, std::move(Y));
  return Status::success();
}

Status check_ahrs_setup(const CkfState& s, double sigma_acc2, double sigma_mag2) {
  if (s.dim_x != 4 || s.dim_z != 6) return Error::value("update_paper_ahrs requires dim_x == 4 and dim_z == 6");
  // "Not finite or not > 0" rejects NaN, both infinities and both zeros;
  // the smallest positive subnormal passes.
  if (!(std::isfinite(sigma_acc2) && sigma_acc2 > 0.0)) return Error::value("sigma_acc2 must be finite and positive");
  if (!(std::isfinite(sigma_mag2) && sigma_mag2 > 0.0)) return Error::value("sigma_mag2 must be finite and positive");
  return Status::success();
}

Status update_paper_ahrs(CkfState& s, const DVector& z, double sigma_acc2, double sigma_mag2) {
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
  // The jitter stays recorded even if the innovation inverse fails below.
  record_jitter_overwrite(s.jitter, ps.jitter);

  DMatrix Zp = paper_observation_model(ps.X, ref.mx, ref.mz);

  DMatrix R6 = DMatrix::Zero(6, 6);
  for (Index i = 0; i < 3; ++i) {
    R6.coeffRef(i, i) = sigma_acc2;
    R6.coeffRef(i + 3, i + 3) = sigma_mag2;
  }

  // The cubature update proper, identical to the update with a Python
  // measurement function; it fails only at the inverse, before storing.
  Status updated = update_from_points(s, std::move(ps.X), std::move(Zp), z_n, R6);
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
