// Running native work without the interpreter lock: a guard that releases
// the lock for its lifetime and re-takes it on every path.
#pragma once

#include "python_api.hpp"

namespace vexel::py {

/// Releases the interpreter lock for its lifetime (re-taken on every path).
/// Nothing inside may touch Python objects or NumPy memory.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockRelease() { PyEval_RestoreThread(state_); }
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace vexel::py
