// Running native work without the interpreter lock: a guard that releases
// the lock for its lifetime and re-takes it on every path, and the call that
// holds a failure of the work until the lock is back.
#pragma once

#include "errors.hpp"
#include "python_api.hpp"

#include <cxxabi.h>

#include <exception>

namespace vexel::py {

/// Releases the interpreter lock for its lifetime (re-taken on every path).
/// Nothing inside may touch Python objects or NumPy memory.  Taking the lock
/// back may end the thread (a forced unwind at interpreter shutdown), so the
/// destructor is allowed to throw; `without_lock` makes sure it never runs
/// while another exception is in flight.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockRelease() noexcept(false) {
    interpreter_call([&] { PyEval_RestoreThread(state_); });
  }
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

 private:
  PyThreadState* state_;
};

/// Runs the native `work` without the interpreter lock.  A failure of the
/// work is held until the lock is back, then rethrown.
template <class F>
VEXEL_FORCED_UNWIND_HANDLER void without_lock(F&& work) {
  std::exception_ptr failure;
  {
    InterpreterLockRelease unlocked;
    try {
      work();
    } catch (abi::__forced_unwind&) {
      throw;  // not raised by native work; never held
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vexel::py
