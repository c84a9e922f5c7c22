// Failures inside a native call and the one place they become Python
// exceptions.
//
// Inside a call, failures travel as thrown `vexel::Error` values (the kernels
// return them as values; `unwrap` rethrows).  `boundary` is the one place
// that turns them into Python exceptions; it also catches every other C++
// exception, so nothing ever crosses into the interpreter.
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

#include <new>
#include <string>
#include <utility>

namespace vexel::py {

/// Set the Python exception that `error` describes (nothing for PythonSet).
void raise_error(const Error& error);
/// Write a diagnostic to stderr and raise PanicException(message).
void raise_panic(const std::string& message);
/// The PanicException class, created on first use (borrowed reference).
PyObject* panic_exception_type();

[[noreturn]] inline void fail(Error error) { throw std::move(error); }

/// Attaches `note` to the pending Python exception when the running Python
/// has notes (3.11+); the exception itself is left as it was.
void add_note_to_pending(const std::string& note);
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
VEXEL_FORCED_UNWIND_HANDLER auto interpreter_call(F&& f) -> decltype(f()) {
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
VEXEL_FORCED_UNWIND_HANDLER PyObject* boundary(F&& body) {
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

}  // namespace vexel::py
