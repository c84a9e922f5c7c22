// Building an extension module of the package (see module_init.hpp).
#include "module_init.hpp"

#include <string>

namespace vexel::py {

namespace {
std::int64_t g_interpreter_id = -1;
}  // namespace

void require_first_interpreter(const char* module_name) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) fail_python();
  if (g_interpreter_id < 0) {
    g_interpreter_id = id;
    return;
  }
  if (g_interpreter_id != id) {
    const std::string message = std::string(module_name) +
                                " does not support sub-interpreters: it can only be imported by the "
                                "interpreter that first imported it";
    PyErr_SetString(PyExc_ImportError, message.c_str());
    fail_python();
  }
}

void add_export(PyObject* module, const char* name, Ref obj) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail_python();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) fail_python();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) fail_python();
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) fail_python();
  // PyModule_AddObject steals only on success.
  if (PyModule_AddObject(module, name, obj.get()) < 0) fail_python();
  obj.release();
}

Ref new_module_function(PyMethodDef* def, PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) fail_python();
  Ref fn = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
  if (!fn) fail_python();
  return fn;
}

}  // namespace vexel::py
