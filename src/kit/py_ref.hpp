// Owned references to Python objects.
//
// Reference rules of the binding layer:
//  * A raw `PyObject*` is always *borrowed*: whoever handed it over keeps
//    ownership, and it must not be stored beyond the call.
//  * `Ref` owns exactly one strong reference and releases it on destruction.
//    It is created either by `Ref::steal(p)` (take over a reference that the
//    C API just returned as new) or by `Ref::borrow(p)` (take a new reference
//    to a borrowed object).  There is no implicit conversion from `PyObject*`.
//  * `release()` hands the reference back to the caller (for returning a new
//    reference to the interpreter, or for APIs that steal).
//  * A thread that the interpreter ends at shutdown (a forced unwind, see
//    errors.hpp) no longer holds the interpreter lock: the references on its
//    stack are dropped without touching the objects (a deliberate leak at
//    exit, instead of reference counting without the lock).
#pragma once

#include "python_api.hpp"

#include <utility>

namespace vexel::py {

namespace detail {
inline thread_local bool t_thread_ended = false;
}  // namespace detail

/// Record that the interpreter is ending this thread (it never runs Python
/// again).
inline void mark_thread_ended() { detail::t_thread_ended = true; }
/// Whether this thread still owns its references (false once ended).
inline bool thread_owns_references() { return !detail::t_thread_ended; }

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      drop();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { drop(); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  void drop() {
    if (p_ != nullptr && thread_owns_references()) Py_DECREF(p_);
  }
  PyObject* p_ = nullptr;
};

}  // namespace vexel::py
