// The borrow registry of NumPy memory (see borrow_registry.hpp).
#include "borrow_registry.hpp"

#include "errors.hpp"

#include <iterator>
#include <mutex>
#include <new>
#include <vector>

#include <pthread.h>

namespace vexel::py {

namespace {

struct BorrowEntry {
  std::uint64_t id;
  Extent extent;
  bool write;
  const char* name;  // argument name of a read borrow, or nullptr
};

// All entry points run with the interpreter lock held; the mutex keeps the
// registry sound even for a caller that does not (it is never contended).
std::mutex g_registry_mutex;
std::vector<BorrowEntry> g_borrows;
std::uint64_t g_next_id = 1;

bool overlaps(const Extent& a, const Extent& b) { return a.lo < b.hi && b.lo < a.hi; }

/// Runs in the child right after fork(): only the forking thread exists
/// there, so the borrows of every other thread (for example one inside
/// batch_parallel_step) would never be released, and the registry lock may
/// be held forever.  The old registry is abandoned (its storage may be in
/// the middle of a change) and the child starts with an empty one.
void reset_registry_in_child() {
  new (&g_registry_mutex) std::mutex();
  new (&g_borrows) std::vector<BorrowEntry>();
}

// Registered once, when the extension is loaded.
const bool g_registry_fork_handler = pthread_atfork(nullptr, nullptr, &reset_registry_in_child) == 0;

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

ArrayBorrow ArrayBorrow::read(PyArrayObject* a, const char* name) {
  const Extent ext = array_extent(a);
  if (ext.empty()) return ArrayBorrow();
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  for (const BorrowEntry& e : g_borrows) {
    if (e.write && overlaps(e.extent, ext)) fail(Error::panic("array is mutably borrowed by native code"));
  }
  const std::uint64_t id = g_next_id++;
  g_borrows.push_back(BorrowEntry{id, ext, false, name});
  return ArrayBorrow(id);
}

ArrayBorrow ArrayBorrow::write(PyArrayObject* a, const std::string& name) {
  if (!PyArray_ISWRITEABLE(a)) fail(Error::panic("output array is not writeable"));
  const Extent ext = array_extent(a);
  if (ext.empty()) return ArrayBorrow();
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  for (const BorrowEntry& e : g_borrows) {
    if (overlaps(e.extent, ext)) {
      const std::string other = e.name != nullptr ? "argument '" + std::string(e.name) + "'" : "an array";
      fail(Error::runtime(name + " shares memory with " + other + ", which native code is still reading"));
    }
  }
  const std::uint64_t id = g_next_id++;
  g_borrows.push_back(BorrowEntry{id, ext, true, nullptr});
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
