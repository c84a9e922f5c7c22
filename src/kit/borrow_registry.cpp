// The borrow registry of NumPy memory (see borrow_registry.hpp).
#include "borrow_registry.hpp"

#include "errors.hpp"

#include <iterator>
#include <mutex>
#include <vector>

namespace vexel::py {

namespace {

struct BorrowEntry {
  std::uint64_t id;
  Extent extent;
  bool write;
};

// All entry points run with the interpreter lock held; the mutex keeps the
// registry sound even for a caller that does not (it is never contended).
std::mutex g_registry_mutex;
std::vector<BorrowEntry> g_borrows;
std::uint64_t g_next_id = 1;

bool overlaps(const Extent& a, const Extent& b) { return a.lo < b.hi && b.lo < a.hi; }

}  // namespace

Extent array_extent(PyArrayObject* a) {
  const int nd = PyArray_NDIM(a);
  const npy_intp* dims = PyArray_DIMS(a);
  const npy_intp* strides = PyArray_STRIDES(a);
  std::intptr_t lo = 0;
  std::intptr_t hi = 0;
  for (int i = 0; i < nd; ++i) {
    if (dims[i] == 0) return Extent{};
    const std::intptr_t span = (dims[i] - 1) * strides[i];
    if (span < 0)
      lo += span;
    else
      hi += span;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
  const auto item = static_cast<std::uintptr_t>(PyArray_ITEMSIZE(a));
  return Extent{base + static_cast<std::uintptr_t>(lo), base + static_cast<std::uintptr_t>(hi) + item};
}

ArrayBorrow ArrayBorrow::read(PyArrayObject* a) {
  const Extent ext = array_extent(a);
  if (ext.empty()) return ArrayBorrow();
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  for (const BorrowEntry& e : g_borrows) {
    if (e.write && overlaps(e.extent, ext)) fail(Error::panic("array is mutably borrowed by native code"));
  }
  const std::uint64_t id = g_next_id++;
  g_borrows.push_back(BorrowEntry{id, ext, false});
  return ArrayBorrow(id);
}

ArrayBorrow ArrayBorrow::write(PyArrayObject* a) {
  if (!PyArray_ISWRITEABLE(a)) fail(Error::panic("output array is not writeable"));
  const Extent ext = array_extent(a);
  if (ext.empty()) return ArrayBorrow();
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  for (const BorrowEntry& e : g_borrows) {
    if (overlaps(e.extent, ext)) fail(Error::panic("output array is borrowed by native code"));
  }
  const std::uint64_t id = g_next_id++;
  g_borrows.push_back(BorrowEntry{id, ext, true});
  return ArrayBorrow(id);
}

ArrayBorrow& ArrayBorrow::operator=(ArrayBorrow&& o) noexcept {
  if (this != &o) {
    release();
    id_ = o.id_;
    o.id_ = 0;
  }
  return *this;
}

void ArrayBorrow::release() {
  if (id_ == 0) return;
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  // Borrows are almost always released in reverse order: search from the back.
  for (auto it = g_borrows.rbegin(); it != g_borrows.rend(); ++it) {
    if (it->id == id_) {
      g_borrows.erase(std::next(it).base());
      break;
    }
  }
  id_ = 0;
}

}  // namespace vexel::py
