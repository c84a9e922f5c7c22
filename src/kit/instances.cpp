// Creating the final classes of native objects (see instances.hpp).
#include "instances.hpp"

namespace vexel::py {

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

Ref class_object(ClassInfo& cls, PyType_Spec* definition, const char* module_name) {
  if (cls.type == nullptr) {
    // The reference is kept for the life of the process.
    cls.type = reinterpret_cast<PyTypeObject*>(new_final_class(definition, module_name).release());
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(cls.type));
}

}  // namespace vexel::py
