#include "warm_memory.hpp"

#include "numpy_api.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace vexel::py {

namespace {

// Every block starts with a header holding its capacity, so that a block
// handed out again for a slightly smaller array is still freed whole.  64
// bytes keep the data as aligned as the header's allocation.
constexpr std::size_t kHeader = 64;
// Smaller blocks stay in glibc's heap anyway: they go straight back.
constexpr std::size_t kMinKept = std::size_t{256} << 10;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kMaxKept = 32;

struct Block {
  std::size_t capacity;
  char* base;
};

/// The blocks kept and the accounting that bounds them.  Kept plus live
/// large blocks never exceed the most the callbacks ever held at once, so
/// the handler keeps no more memory than the callbacks needed anyway.
struct State {
  std::mutex mutex;
  std::vector<Block> kept;
  std::size_t kept_bytes = 0;
  std::size_t live_large = 0;
  std::size_t high_water = 0;
  State() { kept.reserve(kMaxKept); }
};

// Never destroyed: arrays made through the handler may be freed at any time
// up to the very end of the process.
State& state() {
  static State* s = new State;
  return *s;
}

/// Runs in the child right after fork(): another thread of the parent may
/// have held the lock in the middle of a change.  The child abandons the
/// kept blocks (a few megabytes at most) and starts with an empty list;
/// arrays it still frees through the handler go back to the system.
void reset_in_child() {
  State& s = state();
  new (&s.mutex) std::mutex();
  new (&s.kept) std::vector<Block>();
  s.kept_bytes = 0;
  s.live_large = 0;
  s.high_water = 0;
}

const bool g_fork_handler = pthread_atfork(nullptr, nullptr, &reset_in_child) == 0;

std::size_t capacity_of(void* data) {
  std::size_t c;
  std::memcpy(&c, static_cast<char*>(data) - kHeader, sizeof c);
  return c;
}

/// A block from glibc: the small ones, which its heap serves well.
void* small_block(std::size_t capacity) {
  char* base = static_cast<char*>(std::aligned_alloc(kHeader, kHeader + capacity));
  if (base == nullptr) return nullptr;
  std::memcpy(base, &capacity, sizeof capacity);
  return base + kHeader;
}

std::size_t mapping_bytes(std::size_t capacity) { return (kHeader + capacity + kPage - 1) / kPage * kPage; }

/// A large block mapped by itself, so that giving it back (when it is not
/// kept) lowers the process's resident memory at once; glibc would keep a
/// freed heap block resident below others.
void* large_block(std::size_t capacity) {
  void* base = mmap(nullptr, mapping_bytes(capacity), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  std::memcpy(base, &capacity, sizeof capacity);
  return static_cast<char*>(base) + kHeader;
}

void release_block(char* base, std::size_t capacity) {
  if (capacity >= kMinKept) {
    munmap(base, mapping_bytes(capacity));
  } else {
    std::free(base);
  }
}

/// Live large bytes less one block's (saturating: a fork child starts from
/// zero while its parent's arrays are still freed through the handler).
void forget_live(State& s, std::size_t capacity) {
  s.live_large -= capacity <= s.live_large ? capacity : s.live_large;
}

void* warm_malloc(void*, std::size_t size) {
  if (size == 0) size = 1;
  if (size < kMinKept) return small_block((size + kHeader - 1) / kHeader * kHeader);
  if (size > SIZE_MAX / 2) return nullptr;
  const std::size_t capacity = (size + kPage - 1) / kPage * kPage;
  State& s = state();
  Block dropped[kMaxKept];
  std::size_t n_dropped = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    // The smallest kept block that fits with at most three quarters unused:
    // a callback's arrays come in a few sizes (its points, their columns,
    // its result), and a smaller one taking a larger block is better than
    // a fresh block while the larger one idles.
    std::size_t best = s.kept.size();
    for (std::size_t i = 0; i < s.kept.size(); ++i) {
      const std::size_t c = s.kept[i].capacity;
      if (c >= capacity && c / 4 <= capacity && (best == s.kept.size() || c < s.kept[best].capacity)) best = i;
    }
    if (best != s.kept.size()) {
      const Block b = s.kept[best];
      s.kept[best] = s.kept.back();
      s.kept.pop_back();
      s.kept_bytes -= b.capacity;
      s.live_large += b.capacity;
      if (s.live_large > s.high_water) s.high_water = s.live_large;
      return b.base + kHeader;
    }
    // No block fits: a fresh one.  Kept blocks give way first where kept and
    // live memory together would otherwise pass the most the callbacks held
    // so far, so that a process never holds more than it did without the
    // handler (glibc would have returned them when they were freed).
    const std::size_t limit = s.live_large + capacity > s.high_water ? s.live_large + capacity : s.high_water;
    while (!s.kept.empty() && s.kept_bytes + s.live_large + capacity > limit) {
      dropped[n_dropped++] = s.kept.back();
      s.kept_bytes -= s.kept.back().capacity;
      s.kept.pop_back();
    }
    s.live_large += capacity;
    s.high_water = limit;
  }
  for (std::size_t i = 0; i < n_dropped; ++i) release_block(dropped[i].base, dropped[i].capacity);
  void* data = large_block(capacity);
  if (data == nullptr) {
    std::lock_guard<std::mutex> lock(s.mutex);
    forget_live(s, capacity);
  }
  return data;
}

void warm_free(void*, void* data, std::size_t) {
  if (data == nullptr) return;
  const std::size_t capacity = capacity_of(data);
  char* base = static_cast<char*>(data) - kHeader;
  if (capacity >= kMinKept) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    forget_live(s, capacity);
    if (s.kept.size() < kMaxKept && s.kept_bytes + s.live_large + capacity <= s.high_water) {
      s.kept.push_back({capacity, base});
      s.kept_bytes += capacity;
      return;
    }
  }
  release_block(base, capacity);
}

void* warm_calloc(void* ctx, std::size_t count, std::size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  const std::size_t bytes = count * size;
  void* data = warm_malloc(ctx, bytes);
  if (data != nullptr) std::memset(data, 0, bytes == 0 ? 1 : bytes);
  return data;
}

void* warm_realloc(void* ctx, void* data, std::size_t size) {
  if (data == nullptr) return warm_malloc(ctx, size);
  const std::size_t capacity = capacity_of(data);
  if (size <= capacity && (capacity < kMinKept || size >= capacity / 4)) return data;
  void* moved = warm_malloc(ctx, size);
  if (moved == nullptr) return nullptr;  // the old block stays valid, as realloc's does
  std::memcpy(moved, data, size < capacity ? size : capacity);
  warm_free(ctx, data, capacity);
  return moved;
}

PyDataMem_Handler g_handler = {
    "vexel_ckf_warm_memory",
    1,
    {nullptr, &warm_malloc, &warm_calloc, &warm_realloc, &warm_free},
};

/// The handler's capsule, made once and never released: every array made
/// through it holds a reference, and one may outlive any module state.
PyObject* handler_capsule() {
  static PyObject* capsule = PyCapsule_New(&g_handler, "mem_handler", nullptr);
  return capsule;
}

}  // namespace

WarmMemoryScope::WarmMemoryScope() {
  if (getenv("NOWARM")) return;
  if (!ensure_numpy()) {
    PyErr_Clear();
    return;
  }
  PyObject* capsule = handler_capsule();
  if (capsule == nullptr) {
    PyErr_Clear();
    return;
  }
  previous_ = Ref::steal(PyDataMem_SetHandler(capsule));
  // Only a speed-up: without it the callbacks run as they would anyway.
  if (!previous_) PyErr_Clear();
}

WarmMemoryScope::~WarmMemoryScope() {
  if (!previous_) return;
  // The callback may have raised: its exception waits while the old handler
  // is put back.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* mine = PyDataMem_SetHandler(previous_.get());
  if (mine != nullptr) {
    Py_DECREF(mine);
  } else {
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

void release_warm_memory() {
  State& s = state();
  std::vector<Block> kept;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    kept.swap(s.kept);
    s.kept.reserve(kMaxKept);
    s.kept_bytes = 0;
    // Blocks still alive (arrays a callback kept) go back to the system when
    // they are freed: nothing is kept until callbacks run again.
    s.high_water = 0;
  }
  for (const Block& b : kept) release_block(b.base, b.capacity);
}

}  // namespace vexel::py
