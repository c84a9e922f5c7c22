#include "storage.hpp"

#include <limits>

#include <unistd.h>

namespace vexel {

namespace {

std::uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace

Status check_storage(const StorageShape* shapes, std::size_t count) {
  const Error too_big{ErrorKind::Memory, "not enough memory for storage of the requested dimensions"};
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  // No single matrix may have more elements than a signed index can count.
  const std::uint64_t max_elements = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(double);
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto [rows, cols] = shapes[i];
    if (cols != 0 && rows > max_elements / cols) return too_big;
    const std::uint64_t b = rows * cols * sizeof(double);
    if (bytes > max - b) return too_big;
    bytes += b;
  }
  if (bytes > physical_memory_bytes()) return too_big;
  return Status::success();
}

}  // namespace vexel
