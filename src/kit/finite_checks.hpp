// Finiteness checks of values that came from Python, with their messages.
#pragma once

#include "array_accept.hpp"

#include "../kernels/linalg.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace vexel::py {

inline bool is_finite(double v) {
  // Exponent bits not all ones: excludes NaN and both infinities, keeps
  // zeros and subnormals.
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7ff0000000000000ULL) != 0x7ff0000000000000ULL;
}

/// ValueError "<name> must contain only finite values" at the first
/// non-finite value.
void require_finite(const double* values, Index count, const std::string& name);
inline void require_finite(const DVector& v, const std::string& name) { require_finite(v.data(), v.size(), name); }
inline void require_finite(const DMatrix& m, const std::string& name) { require_finite(m.data(), m.size(), name); }
/// The measurement check, naming every value of z in the message.
void require_finite_measurement(const DVector& z);

/// Whether every element of an accepted array is finite (any layout).
bool all_finite(const ArrayIn& a);

/// Smallest index along the first axis of a 2-D or 3-D array whose
/// sub-array holds a NaN or infinity; nullopt when every value is finite.
std::optional<npy_intp> first_non_finite_step(const ArrayIn& a);

}  // namespace vexel::py
