// Angles on the circle for the filters' angle-aware steps: wrapping to
// (-pi, pi] and unwrapping columns of a point set around a centre, so that
// sample moments of angles are formed on one side of the seam.
#pragma once

#include "../kernels/linalg.hpp"

#include <vector>

namespace vexel::angles {

/// a mapped to (-pi, pi]: a itself when it lies there, else the floored
/// remainder of a + pi by 2 pi, minus pi, with -pi replaced by pi (a NaN or
/// infinity gives NaN).
double wrap(double a);

/// value shifted by whole turns to lie within pi of centre: value itself
/// when it does (bit for bit), else centre + wrap(value - centre).
double around(double value, double centre);

/// Each listed column of Y shifted by whole turns to lie within pi of the
/// column's circular mean (atan2 of the mean sine and the mean cosine);
/// entries already within pi of it are left as they are.
void unwrap_columns_around_mean(DMatrix& Y, const std::vector<Index>& columns);

/// Each listed column c of Z shifted by whole turns to lie within pi of
/// centre[c] (the measurement, for the images of the points under hx).
void unwrap_columns_around(DMatrix& Z, const std::vector<Index>& columns, const DVector& centre);

/// The listed entries of v wrapped to (-pi, pi].
void wrap_entries(DVector& v, const std::vector<Index>& entries);

}  // namespace vexel::angles
