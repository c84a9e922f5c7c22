// Numbers and shapes in messages: extents in decimal, and doubles as the
// shortest round-trip decimal, as Python's repr writes them.
#pragma once

#include "../kernels/linalg.hpp"

#include <initializer_list>
#include <string>

namespace vexel::py {

/// "[1.0, NaN, -inf, 1e-5]": shortest round-trip decimal of each value.
std::string format_value_list(const double* values, Index count);
std::string format_double(double v);
/// An extent or index in decimal, as messages write it.
inline std::string num(Index v) { return std::to_string(v); }
/// "(2, 3)": a shape as messages write it.
std::string shape_text(std::initializer_list<Index> dims);

}  // namespace vexel::py
