// Text across the boundary (see text.hpp).
#include "text.hpp"

#include "errors.hpp"

namespace vexel::py {

Ref text_object(const std::string& text) {
  // "surrogatepass" undoes the encoding of `utf8`, so a name holding a lone
  // surrogate comes back exactly as the caller wrote it.
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

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

}  // namespace vexel::py
