#include "frame.hpp"

#include <cstring>
#include <string>

namespace vexel::py {

// ---------------------------------------------------------------------------
// Errors

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

Ref text_object(const std::string& text) {
  // "surrogatepass" undoes the encoding of `utf8`, so a name holding a lone
  // surrogate comes back exactly as the caller wrote it.
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
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

// ---------------------------------------------------------------------------
// Strings

std::string utf8(PyObject* str) {
  Ref bytes = Ref::steal(PyUnicode_AsUTF8String(str));
  if (!bytes) {
    // A lone surrogate cannot be encoded strictly.  Keep it as its three-byte
    // form: it matches no field or model name, `quote_name` escapes it, and
    // `text_object` restores it in a message.
    PyErr_Clear();
    bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) fail_python();
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) fail_python();
  return std::string(data, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* obj) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "object";
  }
  return utf8(name.get());
}

std::string str_of(PyObject* obj) {
  Ref s = Ref::steal(PyObject_Str(obj));
  if (!s) fail_python();
  return utf8(s.get());
}

// ---------------------------------------------------------------------------
// Argument parsing (CPython's wording for Python functions)

namespace {

std::string count_text(int n) { return std::to_string(n); }

[[noreturn]] void too_many_positional(const Params& p, Py_ssize_t given) {
  std::string msg(p.callable);
  msg += " takes ";
  if (p.required == p.count) {
    msg += count_text(p.count);
  } else {
    msg += "from " + count_text(p.required) + " to " + count_text(p.count);
  }
  msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  fail(Error::type(std::move(msg)));
}

[[noreturn]] void missing_required(const Params& p, const int* missing, int n) {
  std::string msg(p.callable);
  msg += " missing " + std::to_string(n) + " required positional argument" + (n == 1 ? "" : "s") + ": ";
  for (int i = 0; i < n; ++i) {
    if (i > 0) {
      if (n > 2) msg += ",";
      msg += (i == n - 1) ? " and " : " ";
    }
    msg += "'";
    msg += p.names[missing[i]];
    msg += "'";
  }
  fail(Error::type(std::move(msg)));
}

}  // namespace

void parse_args(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  if (nargs < 0) fail_python();
  if (nargs > p.count) too_many_positional(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) fail(Error::type(std::string(p.callable) + " keywords must be strings"));
      int index = -1;
      for (int i = 0; i < p.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index < 0) {
        fail(Error::type(std::string(p.callable) + " got an unexpected keyword argument '" + utf8(key) + "'"));
      }
      if (out[index] != nullptr) {
        fail(Error::type(std::string(p.callable) + " got multiple values for argument '" + p.names[index] + "'"));
      }
      out[index] = value;
    }
  }

  int missing[kMaxParams];
  int n_missing = 0;
  for (int i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) missing[n_missing++] = i;
  }
  if (n_missing > 0) missing_required(p, missing, n_missing);
}

void rethrow_with_arg_prefix(const char* name, const Error& error) {
  const std::string prefix = std::string("argument '") + name + "': ";
  if (error.kind == ErrorKind::Type) throw Error::type(prefix + error.message);
  if (error.kind == ErrorKind::PythonSet && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    std::string message;
    Ref cause;
    if (v) {
      Ref s = Ref::steal(PyObject_Str(v.get()));
      if (!s) fail_python();
      message = utf8(s.get());
      cause = Ref::steal(PyException_GetCause(v.get()));
    }
    Ref msg = text_object(prefix + message);
    if (!msg) fail_python();
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr));
    if (!exc) fail_python();
    if (cause) PyException_SetCause(exc.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, exc.get());
    throw Error::python_set();
  }
  throw error;
}

std::uint64_t to_u64(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref::steal(PyNumber_Index(obj));
    if (!index) fail_python();
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_python();
  return static_cast<std::uint64_t>(v);
}

double to_double(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) fail_python();
  return v;
}

std::string to_string(PyObject* obj) {
  if (!PyUnicode_Check(obj)) fail(Error::type("'" + type_name(obj) + "' object cannot be converted to 'str'"));
  // Field and model names are short ASCII strings: read them character by
  // character instead of building a temporary bytes object.
  const Py_ssize_t len = PyUnicode_GetLength(obj);
  if (len >= 0 && len <= 32) {
    char buf[32];
    bool ascii = true;
    for (Py_ssize_t i = 0; i < len; ++i) {
      const Py_UCS4 ch = PyUnicode_ReadChar(obj, i);
      if (ch >= 128) {
        ascii = false;
        break;
      }
      buf[i] = static_cast<char>(ch);
    }
    if (ascii) return std::string(buf, static_cast<std::size_t>(len));
  }
  PyErr_Clear();
  return utf8(obj);
}

PyObject* to_dict(PyObject* obj) {
  if (!PyDict_Check(obj)) fail(Error::type("'" + type_name(obj) + "' object cannot be converted to 'dict'"));
  return obj;
}

PyObject* to_tuple(PyObject* obj) {
  if (!PyTuple_Check(obj)) fail(Error::type("'" + type_name(obj) + "' object cannot be converted to 'tuple'"));
  return obj;
}

// ---------------------------------------------------------------------------
// Classes

Ref new_final_class(PyType_Spec* definition, const char* module_name) {
  Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
  if (!warnings) fail_python();
  Ref guard = Ref::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!guard) fail_python();
  Ref entered = Ref::steal(PyObject_CallMethod(guard.get(), "__enter__", nullptr));
  if (!entered) fail_python();
  Ref filtered = Ref::steal(
      PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
  Ref type;
  if (filtered) type = Ref::steal(PyType_FromSpec(definition));
  // Leave the warnings context on every path, keeping a pending error.
  PyObject *et = nullptr, *ev = nullptr, *etb = nullptr;
  PyErr_Fetch(&et, &ev, &etb);
  Ref exited = Ref::steal(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (et != nullptr) {
    PyErr_Restore(et, ev, etb);
    fail_python();
  }
  if (!exited || !type) fail_python();
  Ref module = Ref::steal(PyUnicode_FromString(module_name));
  if (!module || PyObject_SetAttrString(type.get(), "__module__", module.get()) < 0) fail_python();
  return type;
}

// ---------------------------------------------------------------------------
// Results

Ref new_float(double v) {
  Ref r = Ref::steal(PyFloat_FromDouble(v));
  if (!r) fail_python();
  return r;
}

Ref new_u64(std::uint64_t v) {
  Ref r = Ref::steal(PyLong_FromUnsignedLongLong(v));
  if (!r) fail_python();
  return r;
}

}  // namespace vexel::py
