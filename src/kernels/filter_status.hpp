// The outcome of one filter's update in a bank of filters: the status codes
// that CKFBank and the linear bank step report per filter, with the text
// users read for each (the Python layer's STATUS_CODES is built from it).
#pragma once

#include <cstdint>

namespace vexel {

enum FilterStatus : std::int64_t {
  kUpdated = 0,          // update applied, innovation inverted through its Cholesky factor
  kFallbackInverse = 1,  // update applied with the general or pseudo-inverse
  kNotApplied = 2,       // factorisation or inversion failed, or a non-finite result
  kBadData = 3,          // non-finite data: a partly non-finite measurement, callback output or filter state
  kNoMeasurement = 4,    // all-NaN measurement row where that means a missed measurement
};

inline constexpr std::int64_t kFilterStatusCount = 5;

/// What each code means, indexed by the code.
inline constexpr const char* kFilterStatusText[kFilterStatusCount] = {
    "updated",
    "updated with the fallback inverse (innovation covariance not positive definite)",
    "update not applied: factorisation or inversion failed, or a non-finite result; the prediction stands",
    "bad data: a partly non-finite measurement row or non-finite callback output; the prediction stands",
    "no measurement (a row of all NaN); the prediction stands",
};

}  // namespace vexel
