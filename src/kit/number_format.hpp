// Numbers in messages: the shortest round-trip decimal of a double, as
// Python's repr writes it.
#pragma once

#include "../kernels/linalg.hpp"

#include <string>

namespace vexel::py {

/// "[1.0, NaN, -inf, 1e-5]": shortest round-trip decimal of each value.
std::string format_value_list(const double* values, Index count);
std::string format_double(double v);

}  // namespace vexel::py
