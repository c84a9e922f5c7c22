// Native objects: a Python object holding a native state by value, its
// borrow flag, its final class, and the receiver check of its methods.
#pragma once

#include "errors.hpp"
#include "py_ref.hpp"
#include "python_api.hpp"
#include "text.hpp"

#include <cstdint>
#include <new>
#include <string>
#include <utility>

namespace vexel::py {

// ---------------------------------------------------------------------------
// Object borrow flag: 0 free, n > 0 read borrows, -1 one write borrow.

enum class BorrowKind { Read, Write };

inline constexpr BorrowKind kRead = BorrowKind::Read;
inline constexpr BorrowKind kWrite = BorrowKind::Write;

class ObjectBorrow {
 public:
  ObjectBorrow(std::intptr_t& flag, BorrowKind kind) : flag_(flag), kind_(kind) {
    if (kind == BorrowKind::Write) {
      if (flag != 0) fail(Error::runtime("Already borrowed"));
      flag = -1;
    } else {
      if (flag == -1) fail(Error::runtime("Already mutably borrowed"));
      ++flag;
    }
  }
  ~ObjectBorrow() {
    if (kind_ == BorrowKind::Write)
      flag_ = 0;
    else
      --flag_;
  }
  ObjectBorrow(const ObjectBorrow&) = delete;
  ObjectBorrow& operator=(const ObjectBorrow&) = delete;

 private:
  std::intptr_t& flag_;
  BorrowKind kind_;
};

// ---------------------------------------------------------------------------
// Instances

template <class State>
struct Instance {
  PyObject_HEAD
  std::intptr_t borrow;
  State state;
};

/// Allocate an instance of `type` holding `state` (moved in).  The state is
/// built before allocation, so a failure creates nothing.
template <class State>
Ref new_instance(PyTypeObject* type, State&& state) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) fail_python();
  auto* inst = reinterpret_cast<Instance<State>*>(obj);
  inst->borrow = 0;
  new (&inst->state) State(std::move(state));
  return Ref::steal(obj);
}

/// tp_dealloc of an instance type (heap type: drops the type reference).
template <class State>
void dealloc_instance(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  auto* inst = reinterpret_cast<Instance<State>*>(obj);
  inst->state.~State();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

/// The receiver as an instance of `type`, or the TypeError naming both.
template <class State>
Instance<State>& receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    fail(Error::type("method of '" + std::string(class_name) + "' called on a '" +
                     (self ? type_name(self) : std::string("NULL")) + "' object"));
  }
  return *reinterpret_cast<Instance<State>*>(self);
}

// ---------------------------------------------------------------------------
// Classes

/// A class registration: the type object (strong reference held for the
/// process lifetime once created) and its bare name.
struct ClassInfo {
  PyTypeObject* type = nullptr;
  const char* name = nullptr;
};

/// Create a final class from its PyType_Spec definition.  The type name is
/// the bare class name; `__module__` is set to `module_name` afterwards
/// (CPython warns about a type name without a module part, which is intended
/// here).
Ref new_final_class(PyType_Spec* definition, const char* module_name);

/// The class object of `cls`, created from `definition` on first use and
/// kept for the life of the process; returns a new reference.
Ref class_object(ClassInfo& cls, PyType_Spec* definition, const char* module_name);

}  // namespace vexel::py
