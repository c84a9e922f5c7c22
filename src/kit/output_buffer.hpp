// Owned scratch memory for results computed without the interpreter lock,
// and the hand-over of its contents to new NumPy arrays.
#pragma once

#include "numpy_api.hpp"
#include "py_ref.hpp"

#include <cstddef>

namespace vexel::py {

/// Owned scratch memory outside NumPy.  Large buffers are anonymous mappings
/// (on huge pages where the kernel offers them: far fewer page faults while
/// the inputs are copied in) whose front can be handed back to the system
/// while the results are copied out, so that a buffer and the output array
/// it fills are never both resident in full.  Small buffers come from malloc.
class OutputBuffer {
 public:
  explicit OutputBuffer(std::size_t bytes);
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() { release(); }

  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(base_);
  }
  std::size_t bytes() const { return bytes_; }

  /// Gives the whole pages below byte offset `end` back to the system; they
  /// must not be read again.
  void release_front(std::size_t end);

  /// Frees the buffer now.
  void release();

 private:
  char* base_ = nullptr;
  std::size_t bytes_ = 0;
  std::size_t released_ = 0;
  bool mapped_ = false;
};

/// A new NumPy-owned C-ordered array with the buffer's contents, copied in
/// slices after each of which the copied part of the buffer is released.
Ref copy_out(OutputBuffer& buffer, int nd, const npy_intp* dims, int typenum);

}  // namespace vexel::py
