// The process-wide registry of NumPy memory that native code reads or writes.
//
// Every read of NumPy memory holds a read borrow, every write (the run-output
// rows) a write borrow; a write excludes any other borrow of overlapping
// memory, so native code never writes memory that it is reading elsewhere
// (for example while the worker pool runs without the interpreter lock).
#pragma once

#include "numpy_api.hpp"

#include <cstdint>
#include <string>

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
  /// Read borrow of the argument `name` (a literal, or nullptr when the
  /// array is no argument); refused (PanicException) only while overlapping
  /// memory is write-borrowed, which no caller can arrange.
  static ArrayBorrow read(PyArrayObject* a, const char* name = nullptr);
  /// Write borrow of the output `name`; refused for a read-only array
  /// (PanicException) and while any overlapping memory is borrowed: that
  /// conflict comes from the caller (a callback or another thread writing
  /// into arrays that a running call reads), so it is a RuntimeError naming
  /// both arrays.
  static ArrayBorrow write(PyArrayObject* a, const std::string& name);
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
