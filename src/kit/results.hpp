// Return values of native callables: None, Python numbers and tuples built
// from owned references.
#pragma once

#include "errors.hpp"
#include "py_ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace vexel::py {

inline Ref none() { return Ref::borrow(Py_None); }
Ref new_float(double v);
Ref new_u64(std::uint64_t v);
/// A tuple taking over the references of `items` (each left empty).
Ref tuple_of(std::initializer_list<Ref*> items);

}  // namespace vexel::py
