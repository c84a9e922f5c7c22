// Warm memory for callbacks that run on large arrays step after step.
//
// A bank's fx and hx work on arrays of every filter's points: NumPy
// temporaries of megabytes each.  glibc hands blocks that large back to the
// kernel when they are freed, so every step would take them back as fresh
// pages, each faulted in and zeroed again, which costs about as much as the
// callbacks' arithmetic.  While a `WarmMemoryScope` is open, NumPy arrays
// created on this thread take their data from a NumPy data-memory handler
// that keeps large freed blocks for the next allocation of about the same
// size.  The handler follows NumPy's context-variable protocol, so it applies
// to this thread's current context only, and arrays remember the handler
// that made them: one that outlives the scope (a callback may keep its
// result) is freed through it whenever it dies.
#pragma once

#include "py_ref.hpp"

namespace vexel::py {

/// Installs the warm handler as NumPy's data-memory handler of the current
/// context for the scope's lifetime (the interpreter lock held at both
/// ends).  A NumPy without handler support leaves the scope without effect.
class WarmMemoryScope {
 public:
  WarmMemoryScope();
  ~WarmMemoryScope();
  WarmMemoryScope(const WarmMemoryScope&) = delete;
  WarmMemoryScope& operator=(const WarmMemoryScope&) = delete;

 private:
  Ref previous_;
};

/// Frees every block the handler keeps (arrays still alive keep theirs).
void release_warm_memory();

}  // namespace vexel::py
