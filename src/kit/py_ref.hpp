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
#pragma once

#include "python_api.hpp"

#include <utility>

namespace vexel::py {

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
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vexel::py
