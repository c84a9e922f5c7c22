// Binding and converting the arguments of a native callable (see
// arguments.hpp); the arity messages use CPython's wording for Python
// functions.
#include "arguments.hpp"

#include "text.hpp"

#include <deque>
#include <string>
#include <unordered_set>

namespace vexel::py {

std::string callable_name(const Params& p) {
  return p.owner == nullptr ? std::string(p.callable) : std::string(p.owner) + "." + p.callable;
}

const char* signature_doc(const Params& p, const char* body, bool method) {
  // Kept for the process: method tables and type slots point into them.
  static std::deque<std::string> kept;
  std::string name = p.callable;
  name.erase(name.size() - 2);  // "()"
  const std::size_t dot = name.rfind('.');
  std::string cls = p.owner != nullptr ? std::string(p.owner) : std::string();
  if (dot != std::string::npos) {
    cls = name.substr(0, dot);
    name = name.substr(dot + 1);
  }
  if (name == "__new__") name = cls;
  std::string text = name + "(";
  if (method) text += p.count > 0 ? "$self, " : "$self";
  for (int i = 0; i < p.count; ++i) {
    text += i > 0 ? ", " : "";
    text += p.names[i];
    if (i >= p.required) text += std::string("=") + (p.defaults[i] != nullptr ? p.defaults[i] : "None");
  }
  text += ")\n--\n\n";
  text += body;
  kept.push_back(std::move(text));
  return kept.back().c_str();
}

std::vector<Index> arg_indices(PyObject* obj, const char* name, std::int64_t bound, bool distinct) {
  if (!PyTuple_Check(obj) && !PyList_Check(obj)) {
    fail(Error::type(std::string("argument '") + name + "': must be a tuple or list of int, not " + type_name(obj)));
  }
  const bool tuple = PyTuple_Check(obj);
  const Py_ssize_t count = tuple ? PyTuple_Size(obj) : PyList_Size(obj);
  std::vector<Index> out;
  // Repeats are found with a flag per possible index where the bound is
  // near the list's length (a bank's filters), else with a set of the
  // indices seen (a few angles below a huge bound).
  const bool flags = static_cast<std::uint64_t>(bound) <= 8 * static_cast<std::uint64_t>(count) + 4096;
  std::vector<bool> seen(distinct && flags ? static_cast<std::size_t>(bound) : 0, false);
  std::unordered_set<std::uint64_t> seen_set;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = tuple ? PyTuple_GetItem(obj, i) : PyList_GetItem(obj, i);
    const std::uint64_t v = convert_arg(name, [&] { return to_u64(item); });
    if (v >= static_cast<std::uint64_t>(bound)) {
      fail(Error::value(std::string(name) + " holds the index " + std::to_string(v) + ", outside 0.." +
                        std::to_string(bound - 1)));
    }
    if (distinct) {
      const bool repeated = flags ? seen[static_cast<std::size_t>(v)] : !seen_set.insert(v).second;
      if (repeated) fail(Error::value(std::string(name) + " holds the index " + std::to_string(v) + " twice"));
      if (flags) seen[static_cast<std::size_t>(v)] = true;
    }
    out.push_back(static_cast<Index>(v));
  }
  return out;
}

namespace {

std::string count_text(int n) { return std::to_string(n); }

[[noreturn]] void too_many_positional(const Params& p, Py_ssize_t given) {
  std::string msg = callable_name(p);
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
  std::string msg = callable_name(p);
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
      if (!PyUnicode_Check(key)) fail(Error::type(callable_name(p) + " keywords must be strings"));
      int index = -1;
      for (int i = 0; i < p.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index < 0) {
        fail(Error::type(callable_name(p) + " got an unexpected keyword argument '" + utf8(key) + "'"));
      }
      if (out[index] != nullptr) {
        fail(Error::type(callable_name(p) + " got multiple values for argument '" + p.names[index] + "'"));
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

}  // namespace vexel::py
