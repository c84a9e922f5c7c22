// The calling frame shared by every method and module function.
//
// A native entry point runs in this order: parse the positional and keyword
// arguments (CPython-style arity errors), check the receiver and take the
// object's read or write borrow, convert the arguments in parameter order,
// run the operation, release the borrow, and return a new reference.
//
// Inside the frame, failures travel as thrown `vexel::Error` values (the
// kernels return them as values; `unwrap` rethrows).  `boundary` is the one
// place that turns them into Python exceptions; it also catches every other
// C++ exception, so nothing ever crosses into the interpreter.
//
// The one unwind that must cross is the interpreter ending a thread: at
// shutdown a daemon thread that asks for the interpreter lock back (after a
// callback or a native section without the lock) is ended by a forced stack
// unwind.  It is rethrown by every catch-all and never meets a noexcept
// frame; from then on the thread no longer owns the interpreter, so the
// references still held on its stack are left alone (see `Ref`).
#pragma once

#include "py_ref.hpp"
#include "python_api.hpp"

#include "../kernels/result.hpp"

#include <cxxabi.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>

namespace vexel::py {

// ---------------------------------------------------------------------------
// Errors

/// Set the Python exception that `error` describes (nothing for PythonSet).
void raise_error(const Error& error);
/// Write a diagnostic to stderr and raise PanicException(message).
void raise_panic(const std::string& message);
/// The PanicException class, created on first use (borrowed reference).
PyObject* panic_exception_type();

[[noreturn]] inline void fail(Error error) { throw std::move(error); }
/// Throw when a Python error is already set.
[[noreturn]] inline void fail_python() { throw Error::python_set(); }

template <class T>
T unwrap(Result<T>&& r) {
  if (!r.ok()) throw r.take_error();
  return std::move(r).value();
}
inline void unwrap(const Status& s) {
  if (!s.ok()) throw s.error();
}

/// Run `f` (a call that may run Python code or wait for the interpreter
/// lock); a forced unwind leaving it marks this thread as ended by the
/// interpreter before it travels on.
template <class F>
auto interpreter_call(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (abi::__forced_unwind&) {
    mark_thread_ended();
    throw;
  }
}

/// Run `body` (returning a Ref) and convert every failure into a Python
/// exception; returns a new reference or nullptr with an exception set.
/// Not noexcept: the forced unwind of a thread ended by the interpreter
/// passes through.
template <class F>
PyObject* boundary(F&& body) {
  try {
    return body().release();
  } catch (abi::__forced_unwind&) {
    mark_thread_ended();
    throw;
  } catch (const Error& e) {
    raise_error(e);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const InternalFailure& e) {
    raise_panic(e.what());
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Strings

/// UTF-8 contents of a str object (lone surrogates kept in their three-byte
/// form; throws on failure).
std::string utf8(PyObject* str);
/// A str object from text made by `utf8` and plain literals (nullptr with a
/// Python error set on failure).
Ref text_object(const std::string& text);
/// Name of an object's type, e.g. "list".
std::string type_name(PyObject* obj);
/// str(obj) as UTF-8 (throws on failure).
std::string str_of(PyObject* obj);

// ---------------------------------------------------------------------------
// Argument parsing

inline constexpr int kMaxParams = 8;

/// Parameter list of a callable: every parameter is positional-or-keyword,
/// the first `required` have no default.
struct Params {
  const char* callable;  // "CubatureKalmanFilter.get()", "rts_smooth()"
  int count;
  int required;
  const char* names[kMaxParams];
};

/// Bind (args, kwargs) to `out` (borrowed references, nullptr for omitted
/// optional parameters); throws the CPython-style TypeError on arity errors.
void parse_args(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

/// Run a conversion of the argument `name`; a TypeError it raises becomes
/// "argument 'name': <message>" (keeping the original's cause).  Other
/// failures (OverflowError, ...) pass unchanged.
[[noreturn]] void rethrow_with_arg_prefix(const char* name, const Error& error);

template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const Error& e) {
    rethrow_with_arg_prefix(name, e);
  }
}

// Conversions of the argument kinds (no prefix; wrap with convert_arg).
std::uint64_t to_u64(PyObject* obj);
double to_double(PyObject* obj);
std::string to_string(PyObject* obj);
PyObject* to_dict(PyObject* obj);
PyObject* to_tuple(PyObject* obj);

// Prefixed argument conversions.
inline std::uint64_t arg_u64(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_u64(o); }); }
inline double arg_double(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_double(o); }); }
inline std::string arg_string(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_string(o); }); }
inline PyObject* arg_dict(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_dict(o); }); }
inline PyObject* arg_tuple(PyObject* o, const char* n) { return convert_arg(n, [&] { return to_tuple(o); }); }

// ---------------------------------------------------------------------------
// Results

inline Ref none() { return Ref::borrow(Py_None); }
Ref new_float(double v);
Ref new_u64(std::uint64_t v);

// ---------------------------------------------------------------------------
// Object borrow flag: 0 free, n > 0 read borrows, -1 one write borrow.

enum class BorrowKind { Read, Write };

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
// Instances: a Python object holding a native state by value.

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
