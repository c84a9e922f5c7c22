// Up-front check that a filter's storage can exist at all.
//
// Allocating a huge identity matrix touches every page; with the usual Linux
// overcommit a request far beyond the machine's memory would be granted and
// then kill the process while being filled.  Filters therefore add up the
// bytes of all their fields first and refuse (MemoryError) what cannot fit.
#pragma once

#include "result.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace vexel {

using StorageShape = std::pair<std::uint64_t, std::uint64_t>;

/// Succeeds when matrices of the given (rows, cols) shapes, all held at once,
/// fit in the machine's physical memory; Error of kind Memory otherwise
/// (also when the element count overflows).
Status check_storage(const StorageShape* shapes, std::size_t count);
inline Status check_storage(std::initializer_list<StorageShape> shapes) {
  return check_storage(shapes.begin(), shapes.size());
}

}  // namespace vexel
