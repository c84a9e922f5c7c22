// Numbers in messages: the shortest round-trip decimal of a double, as
// Python's repr writes it.
#pragma once

#include "../kernels/linalg.hpp"

#include <initializer_list>
#include <string>

namespace vexel::py {

/// "[1.0, NaN, -inf, 1e-5]": shortest round-trip decimal of each value.
std::string format_value_list(const double* values, Index count);
std::string format_double(double v);
/// "(2, 3)": a shape as messages write it.
std::string shape_text(std::initializer_list<Index> dims);

}  // namespace vexel::py
