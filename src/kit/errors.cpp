// Raising an Error as its Python exception, and the PanicException class.
#include "errors.hpp"

#include "text.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vexel::py {

namespace {

PyObject* g_panic_type = nullptr;

constexpr const char kPanicDoc[] =
    "The exception raised when the native code of vexel_ckf fails internally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

/// (a, b, ...) as a tuple of ints; nullptr with an exception set on failure.
Ref int_tuple(const std::vector<std::int64_t>& values) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!t) return t;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyLong_FromLongLong(values[i]);
    if (v == nullptr) return Ref();
    PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), v);
  }
  return t;
}

/// The exception instance of `type` with `message`, its detail as
/// attributes (reason, callback, expected_shape, got); nullptr with an
/// exception set on failure.
Ref exception_with_detail(PyObject* type, PyObject* message, const ErrorDetail& d) {
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(type, message, nullptr));
  if (!exc) return exc;
  Ref reason = text_object(d.reason);
  Ref callback = d.callback.empty() ? Ref::borrow(Py_None) : text_object(d.callback);
  Ref expected = d.expected.empty() ? Ref::borrow(Py_None) : int_tuple(d.expected);
  Ref got;
  if (!d.got_shape.empty()) {
    got = d.reason == "ndim" ? Ref::steal(PyLong_FromLongLong(d.got_shape[0])) : int_tuple(d.got_shape);
  } else {
    got = d.got.empty() ? Ref::borrow(Py_None) : text_object(d.got);
  }
  if (!reason || !callback || !expected || !got) return Ref();
  if (PyObject_SetAttrString(exc.get(), "reason", reason.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "callback", callback.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "expected_shape", expected.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "got", got.get()) < 0) {
    return Ref();
  }
  return exc;
}

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
  if (error.detail) {
    Ref exc = exception_with_detail(type, msg.get(), *error.detail);
    if (exc) PyErr_SetObject(type, exc.get());
    return;  // otherwise the failure to build it stays set
  }
  PyErr_SetObject(type, msg.get());
}

void add_note_to_pending(const std::string& note) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && PyObject_HasAttrString(value, "add_note")) {
    Ref done = Ref::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!done) PyErr_Clear();  // the note is a courtesy; the original error matters
  }
  PyErr_Restore(type, value, tb);
}

}  // namespace vexel::py
