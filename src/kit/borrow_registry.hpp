// The process-wide registry of NumPy memory that native code reads or writes.
//
// Every read of NumPy memory holds a read borrow, every write (the run-output
// rows) a write borrow; a write excludes any other borrow of overlapping
// memory, so native code never writes memory that it is reading elsewhere
// (for example while the worker pool runs without the interpreter lock).
#pragma once

#include "numpy_api.hpp"

#include <cstdint>

namespace vexel::py {

/// Memory extent of an array's elements: [lo, hi), empty when it holds none.
struct Extent {
  std::uintptr_t lo = 0;
  std::uintptr_t hi = 0;
  bool empty() const { return lo == hi; }
};
Extent array_extent(PyArrayObject* a);

class ArrayBorrow {
 public:
  ArrayBorrow() = default;
  /// Read borrow; refused (PanicException) only while overlapping memory is
  /// write-borrowed.
  static ArrayBorrow read(PyArrayObject* a);
  /// Write borrow; refused (PanicException) for a read-only array or while
  /// any overlapping memory is borrowed.
  static ArrayBorrow write(PyArrayObject* a);
  ArrayBorrow(ArrayBorrow&& o) noexcept : id_(o.id_) { o.id_ = 0; }
  ArrayBorrow& operator=(ArrayBorrow&& o) noexcept;
  ArrayBorrow(const ArrayBorrow&) = delete;
  ArrayBorrow& operator=(const ArrayBorrow&) = delete;
  ~ArrayBorrow() { release(); }
  void release();

 private:
  explicit ArrayBorrow(std::uint64_t id) : id_(id) {}
  std::uint64_t id_ = 0;  // 0: nothing held
};

}  // namespace vexel::py
