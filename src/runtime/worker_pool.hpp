// The process-wide pool of worker threads that every parallel routine of
// the library shares: the linear filter bank (batch_parallel_step), the
// steps of CKFBank, and the panel filters and smoothers.
//
// One pool per process, created on first use with one worker per hardware
// thread available to the process (or VEXEL_CKF_NUM_THREADS workers, read
// when the pool is created).  Callers are served one at a time: a map holds
// the pool until it is finished, so concurrent callers each get their own
// complete map.  After fork() the child starts without a pool (the parent's
// threads do not exist there) and builds a fresh one on first use.
//
// Workers run plain native code only; an exception thrown by the mapped
// function is caught on the worker and rethrown on the calling thread.
#pragma once

#include <cstddef>
#include <functional>

namespace vexel::runtime {

class WorkerPool {
 public:
  /// The pool of this process, created on first use.
  static WorkerPool& instance();

  /// Number of threads that run a map (at least 1).
  std::size_t size() const;

  /// Calls body(begin, end) over consecutive chunks of at most `grain`
  /// indices covering [0, count), spread over the workers; returns when every
  /// chunk is done.  Only as many workers as there are chunks are woken, and
  /// a single chunk runs on the calling thread without waking any.  The first exception thrown by body is rethrown here
  /// (after all workers have stopped touching the map).
  void parallel_for(std::size_t count, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& body);

  class Impl;

 private:
  explicit WorkerPool(Impl* impl) : impl_(impl) {}
  Impl* impl_;
};

/// Worker count that a new pool gets: VEXEL_CKF_NUM_THREADS when it holds a
/// positive decimal integer (surrounding blanks allowed, values above 1024
/// capped at 1024), otherwise the number of hardware threads available to
/// the process.
std::size_t configured_worker_count();

}  // namespace vexel::runtime
