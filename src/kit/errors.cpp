// Raising an Error as its Python exception, and the PanicException class.
#include "errors.hpp"

#include "text.hpp"

#include <string>

namespace vexel::py {

namespace {

PyObject* g_panic_type = nullptr;

constexpr const char kPanicDoc[] =
    "The exception raised when the native code of vexel_ckf fails internally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    // Not published as a module attribute: it only ever reaches Python code
    // as a raised exception.
    g_panic_type = PyErr_NewExceptionWithDoc("vexel_ckf.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic(const std::string& message) {
  PyErr_Clear();
  const std::string text = message.empty() ? std::string("internal failure without a message") : message;
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the class failed; its error stays set
  Ref msg = text_object(text);
  if (!msg) return;
  PySys_FormatStderr("vexel_ckf: internal failure: %U\n", msg.get());
  PyErr_SetObject(type, msg.get());
}

void raise_error(const Error& error) {
  PyObject* type = nullptr;
  switch (error.kind) {
    case ErrorKind::PythonSet:
      if (!PyErr_Occurred()) raise_panic("error reported without a Python exception set");
      return;
    case ErrorKind::Panic:
      raise_panic(error.message);
      return;
    case ErrorKind::Type:
      type = PyExc_TypeError;
      break;
    case ErrorKind::Value:
      type = PyExc_ValueError;
      break;
    case ErrorKind::Runtime:
      type = PyExc_RuntimeError;
      break;
    case ErrorKind::Overflow:
      type = PyExc_OverflowError;
      break;
    case ErrorKind::Memory:
      if (error.message.empty()) {
        PyErr_NoMemory();
        return;
      }
      type = PyExc_MemoryError;
      break;
  }
  Ref msg = text_object(error.message);
  if (!msg) return;
  PyErr_SetObject(type, msg.get());
}

}  // namespace vexel::py
