// Array acceptance (see array_accept.hpp).
#include "array_accept.hpp"

#include "errors.hpp"
#include "text.hpp"

#include <string>

namespace vexel::py {

namespace {

PyArray_Descr* float64_descr() {
  static PyArray_Descr* descr = nullptr;
  if (descr == nullptr) descr = PyArray_DescrFromType(NPY_DOUBLE);  // kept for the process
  return descr;
}

}  // namespace

PyArrayObject* accept_array_unborrowed(PyObject* obj, int ndim) {
  if (!ensure_numpy()) fail_python();
  if (!PyArray_Check(obj)) {
    const std::string type = type_name(obj);
    Error e = Error::type("'" + type + "' object cannot be converted to 'ndarray'");
    e.because("not_array").got = type;
    fail(std::move(e));
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  const int nd = PyArray_NDIM(arr);
  if (nd != ndim) {
    Error e = Error::type("dimensionality mismatch:\n from=" + std::to_string(nd) + ", to=" + std::to_string(ndim));
    e.because("ndim").got_shape = {nd};
    fail(std::move(e));
  }
  PyArray_Descr* descr = PyArray_DESCR(arr);
  if (!PyArray_EquivTypes(descr, float64_descr())) {
    const std::string dtype = str_of(reinterpret_cast<PyObject*>(descr));
    Error e = Error::type("type mismatch:\n from=" + dtype + ", to=float64");
    e.because("dtype").got = dtype;
    fail(std::move(e));
  }
  return arr;
}

ArrayIn accept_array(PyObject* obj, int ndim, const char* name) {
  PyArrayObject* arr = accept_array_unborrowed(obj, ndim);
  ArrayIn in;
  in.borrow_ = ArrayBorrow::read(arr, name);
  in.ref_ = Ref::borrow(obj);
  return in;
}
std::string shape_text(const ArrayIn& a) {
  std::string s = "(";
  for (int i = 0; i < a.ndim(); ++i) s += (i ? ", " : "") + std::to_string(a.dim(i));
  return s + (a.ndim() == 1 ? ",)" : ")");
}

}  // namespace vexel::py
