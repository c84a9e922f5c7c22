// Return values of native callables (see results.hpp).
#include "results.hpp"

namespace vexel::py {

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

Ref tuple_of(std::initializer_list<Ref*> items) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!t) fail_python();
  Py_ssize_t i = 0;
  for (Ref* item : items) {
    if (PyTuple_SetItem(t.get(), i++, item->release()) < 0) fail_python();  // steals
  }
  return t;
}

}  // namespace vexel::py
