// Text across the boundary: str objects to UTF-8 and back, type names, str().
#pragma once

#include "py_ref.hpp"
#include "python_api.hpp"

#include <string>

namespace vexel::py {

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

}  // namespace vexel::py
