#include "ahrs_model.hpp"

#include <algorithm>
#include <cmath>

namespace vexel {

// Every product below is its own expression and the build disables
// floating-point contraction, so no multiply-add is fused and the rounded
// results follow the written evaluation order exactly.

Result<MagneticReference> magnetic_reference_terms(const DVector& z) {
  if (z.size() < 6) internal_failure("AHRS measurement has six entries", __FILE__, __LINE__);
  const double a0 = z.coeff(0), a1 = z.coeff(1), a2 = z.coeff(2);
  const double m0 = z.coeff(3), m1 = z.coeff(4), m2 = z.coeff(5);

  const double a00 = a0 * a0;
  const double a11 = a1 * a1;
  const double a22 = a2 * a2;
  const double na2 = (a00 + a11) + a22;
  const double na = std::sqrt(na2);

  const double m00 = m0 * m0;
  const double m11 = m1 * m1;
  const double m22 = m2 * m2;
  const double nm2 = (m00 + m11) + m22;
  const double nm = std::sqrt(nm2);

  // A squared norm that overflowed or underflowed lands here as well.
  if (nm2 == 0.0 || na2 == 0.0 || !std::isfinite(na) || !std::isfinite(nm)) {
    return Error::value("acceleration and magnetic measurements must have positive finite norms");
  }

  const double p0 = a0 * m0;
  const double p1 = a1 * m1;
  const double p2 = a2 * m2;
  const double dot = (p0 + p1) + p2;
  const double norms = na * nm;
  double c = dot / norms;
  // Rounding can push the cosine just past +-1; clamp so the sine is 0, not NaN.
  if (c < -1.0) c = -1.0;
  if (c > 1.0) c = 1.0;
  const double cc = c * c;
  const double mx = std::sqrt(std::max(0.0, 1.0 - cc));
  return MagneticReference{mx, c};
}

DMatrix ahrs_observation_model(const DMatrix& points, double mx, double mz) {
  const Index rows = points.rows();
  DMatrix out(rows, 6);
  if (rows == 0) return out;
  if (points.cols() < 4) internal_failure("AHRS points have four quaternion columns", __FILE__, __LINE__);

  const double* qa = points.col(0).data();
  const double* qb = points.col(1).data();
  const double* qc = points.col(2).data();
  const double* qd = points.col(3).data();
  double* o0 = out.col(0).data();
  double* o1 = out.col(1).data();
  double* o2 = out.col(2).data();
  double* o3 = out.col(3).data();
  double* o4 = out.col(4).data();
  double* o5 = out.col(5).data();

  for (Index i = 0; i < rows; ++i) {
    const double a = qa[i], b = qb[i], c = qc[i], d = qd[i];
    const double aa = a * a;
    const double bb = b * b;
    const double cc = c * c;
    const double dd = d * d;

    // Gravity direction: third row of the rotation matrix.
    const double bd = b * d;
    const double ac = a * c;
    const double t0 = bd - ac;
    const double g0 = t0 + t0;

    const double ab = a * b;
    const double cd = c * d;
    const double t1 = ab + cd;
    const double g1 = t1 + t1;

    const double g2 = dd + ((aa - bb) - cc);

    // Magnetic direction: mx times the first row plus mz times the third.
    const double r00 = ((aa + bb) - cc) - dd;
    const double m3a = mx * r00;
    const double m3b = mz * g0;
    const double h3 = m3a + m3b;

    const double bc = b * c;
    const double ad = a * d;
    const double u = bc - ad;
    const double m4a = mx * (u + u);
    const double m4b = mz * g1;
    const double h4 = m4a + m4b;

    const double v = ac + bd;
    const double m5a = mz * g2;
    const double m5b = mx * (v + v);
    const double h5 = m5a + m5b;

    o0[i] = g0;
    o1[i] = g1;
    o2[i] = g2;
    o3[i] = h3;
    o4[i] = h4;
    o5[i] = h5;
  }
  return out;
}

}  // namespace vexel
