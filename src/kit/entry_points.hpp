// The calling convention shared by every method and module function: the C
// entry points the method tables hold.
//
// A native entry point runs in this order: parse the positional and keyword
// arguments (CPython-style arity errors), check the receiver and take the
// object's read or write borrow, convert the arguments in parameter order
// (inside the body), run the operation, release the borrow, and return a new
// reference.  Every failure becomes a Python exception at `boundary`.
#pragma once

#include "arguments.hpp"
#include "errors.hpp"
#include "instances.hpp"
#include "py_ref.hpp"

namespace vexel::py {

/// Methods with parameters: METH_VARARGS | METH_KEYWORDS entry.
template <class State, const ClassInfo& Cls, BorrowKind K, const Params& P,
          Ref (*Body)(Instance<State>&, PyObject* const*)>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> Ref {
    PyObject* slots[kMaxParams] = {};
    parse_args(P, args, kwargs, slots);
    Instance<State>& inst = receiver<State>(self, Cls.type, Cls.name);
    ObjectBorrow guard(inst.borrow, K);
    return Body(inst, slots);
  });
}

/// Methods without parameters: METH_NOARGS entry.
template <class State, const ClassInfo& Cls, BorrowKind K, Ref (*Body)(Instance<State>&)>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) {
  return boundary([&]() -> Ref {
    Instance<State>& inst = receiver<State>(self, Cls.type, Cls.name);
    ObjectBorrow guard(inst.borrow, K);
    return Body(inst);
  });
}

/// Module functions: METH_VARARGS | METH_KEYWORDS entry without receiver.
template <const Params& P, Ref (*Body)(PyObject* const*)>
PyObject* function_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> Ref {
    PyObject* slots[kMaxParams] = {};
    parse_args(P, args, kwargs, slots);
    return Body(slots);
  });
}

/// Cast helpers for method tables.
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

inline constexpr int kKwFlags = METH_VARARGS | METH_KEYWORDS;

/// Method-table entries of one class: `Methods::kw<Borrow, Params, Body>()`
/// for methods with parameters, `Methods::noargs<Borrow, Body>()` without.
template <class State, const ClassInfo& Cls>
struct MethodsOf {
  template <BorrowKind K, const Params& P, Ref (*Body)(Instance<State>&, PyObject* const*)>
  static PyCFunction kw() {
    return as_cfunction(&method_entry<State, Cls, K, P, Body>);
  }
  template <BorrowKind K, Ref (*Body)(Instance<State>&)>
  static PyCFunction noargs() {
    return as_cfunction(&noargs_entry<State, Cls, K, Body>);
  }
};

}  // namespace vexel::py
