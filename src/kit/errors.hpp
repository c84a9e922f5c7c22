// Failures inside a native call and the one place they become Python
// exceptions.
//
// Inside a call, failures travel as thrown `vexel::Error` values (the kernels
// return them as values; `unwrap` rethrows).  `boundary` is the one place
// that turns them into Python exceptions; it also catches every other C++
// exception, so nothing ever crosses into the interpreter.
#pragma once

#include "py_ref.hpp"
#include "python_api.hpp"

#include "../kernels/result.hpp"

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

/// Run `body` (returning a Ref) and convert every failure into a Python
/// exception; returns a new reference or nullptr with an exception set.
template <class F>
PyObject* boundary(F&& body) noexcept {
  try {
    return body().release();
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
