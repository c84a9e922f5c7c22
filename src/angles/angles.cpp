#include "angles.hpp"

#include <cmath>

namespace vexel::angles {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

// A value already within pi is returned as it is, so that data away from
// the seam pass through bit for bit.  Inlined into the loops over point
// sets below (the test is all most values need).
inline double shifted_around(double value, double centre) {
  const double d = value - centre;
  if (d > -kPi && d <= kPi) return value;
  return centre + wrap(d);
}

}  // namespace

double around(double value, double centre) { return shifted_around(value, centre); }

double wrap(double a) {
  if (a > -kPi && a <= kPi) return a;  // already in range: unchanged, not rounded
  // The floored remainder, as NumPy's remainder computes it: fmod keeps the
  // sign of the dividend, so a negative rest moves up by one turn.
  double m = std::fmod(a + kPi, kTwoPi);
  if (m < 0.0) m += kTwoPi;
  const double w = m - kPi;
  return w == -kPi ? kPi : w;
}

void unwrap_columns_around_mean(DMatrix& Y, const std::vector<Index>& columns) {
  const Index rows = Y.rows();
  if (rows == 0) return;
  const double w = 1.0 / static_cast<double>(rows);
  for (const Index c : columns) {
    double s = 0.0;
    double co = 0.0;
    for (Index i = 0; i < rows; ++i) {
      s += std::sin(Y(i, c));
      co += std::cos(Y(i, c));
    }
    const double centre = std::atan2(s * w, co * w);
    for (Index i = 0; i < rows; ++i) Y(i, c) = shifted_around(Y(i, c), centre);
  }
}

void unwrap_columns_around(DMatrix& Z, const std::vector<Index>& columns, const DVector& centre) {
  const Index rows = Z.rows();
  for (const Index c : columns) {
    double* column = Z.col(c).data();
    const double zc = centre(c);
    for (Index i = 0; i < rows; ++i) column[i] = shifted_around(column[i], zc);
  }
}

void wrap_entries(DVector& v, const std::vector<Index>& entries) {
  for (const Index e : entries) v(e) = wrap(v(e));
}

}  // namespace vexel::angles
