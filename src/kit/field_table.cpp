// Field-table support: the unknown-field message, dict lookup and the
// exported rows (see field_table.hpp).
#include "field_table.hpp"

#include <cstdio>

namespace vexel::py {

namespace {

/// Decode one UTF-8 code point starting at s[i]; advances i.  Lone
/// surrogates (kept by `utf8` in their three-byte form) decode like any other
/// code point; invalid bytes are returned as themselves (they cannot come
/// from a Python str).
std::uint32_t next_code_point(const std::string& s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int extra = 0;
  std::uint32_t cp = b0;
  if (b0 >= 0xF0) {
    extra = 3;
    cp = b0 & 0x07u;
  } else if (b0 >= 0xE0) {
    extra = 2;
    cp = b0 & 0x0Fu;
  } else if (b0 >= 0xC0) {
    extra = 1;
    cp = b0 & 0x1Fu;
  }
  if (extra > 0 && i + static_cast<std::size_t>(extra) >= s.size()) {
    ++i;
    return b0;
  }
  for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0x3Fu);
  i += static_cast<std::size_t>(extra) + 1;
  return cp;
}

}  // namespace

std::string quote_name(const std::string& name) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < name.size()) {
    const std::size_t start = i;
    const std::uint32_t cp = next_code_point(name, i);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        // Control characters and lone surrogates (which cannot appear in
        // text as themselves) are written as their code.
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp < 0xE000)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out += buf;
        } else {
          out.append(name, start, i - start);
        }
    }
  }
  out += "\"";
  return out;
}

void unknown_field(const std::string& name) { fail(Error::value("unknown filter field: " + quote_name(name))); }

PyObject* dict_lookup(PyObject* dict, const char* key) {
  Ref k = Ref::steal(PyUnicode_FromString(key));
  if (!k) fail_python();
  PyObject* v = PyDict_GetItemWithError(dict, k.get());
  if (v == nullptr && PyErr_Occurred()) fail_python();
  return v;
}

Ref field_row(const char* name, FieldKind kind, Dim rows, Dim cols, bool settable) {
  const auto dim_name = [](Dim d) { return d == Dim::X ? "dim_x" : "dim_z"; };
  Ref shape;
  const char* type = "array";
  switch (kind) {
    case FieldKind::Vector:
      shape = Ref::steal(Py_BuildValue("(s)", dim_name(rows)));
      break;
    case FieldKind::Matrix:
      shape = Ref::steal(Py_BuildValue("(ss)", dim_name(rows), dim_name(cols)));
      break;
    case FieldKind::Double:
      type = "float";
      shape = Ref::steal(PyTuple_New(0));
      break;
    case FieldKind::Count:
      type = "int";
      shape = Ref::steal(PyTuple_New(0));
      break;
  }
  if (!shape) fail_python();
  Ref row = Ref::steal(Py_BuildValue("(ssOO)", name, type, shape.get(), settable ? Py_True : Py_False));
  if (!row) fail_python();
  return row;
}

}  // namespace vexel::py
