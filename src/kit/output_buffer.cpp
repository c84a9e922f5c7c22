// Owned scratch memory for results and its hand-over to NumPy (see
// output_buffer.hpp).
#include "output_buffer.hpp"

#include "array_output.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace vexel::py {

namespace {

constexpr std::size_t kMapThreshold = std::size_t{1} << 20;

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

OutputBuffer::OutputBuffer(std::size_t bytes) : bytes_(bytes) {
  if (bytes >= kMapThreshold) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
    base_ = static_cast<char*>(p);
    mapped_ = true;
  } else {
    base_ = static_cast<char*>(std::malloc(bytes == 0 ? 1 : bytes));
    if (base_ == nullptr) throw std::bad_alloc();
  }
}

void OutputBuffer::release_front(std::size_t end) {
  if (!mapped_) return;
  const std::size_t cut = end / page_size() * page_size();
  if (cut <= released_) return;
  munmap(base_ + released_, cut - released_);
  released_ = cut;
}

void OutputBuffer::release() {
  if (base_ == nullptr) return;
  if (mapped_) {
    if (released_ < bytes_) munmap(base_ + released_, bytes_ - released_);
  } else {
    std::free(base_);
  }
  base_ = nullptr;
}

Ref copy_out(OutputBuffer& buffer, int nd, const npy_intp* dims, int typenum) {
  Ref array = new_array(nd, dims, typenum);
  char* out = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  const char* in = buffer.as<const char>();
  constexpr std::size_t kSlice = std::size_t{4} << 20;
  const std::size_t total = buffer.bytes();
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = total - done < kSlice ? total - done : kSlice;
    std::memcpy(out + done, in + done, n);
    done += n;
    buffer.release_front(done);
  }
  buffer.release();
  return array;
}

}  // namespace vexel::py
