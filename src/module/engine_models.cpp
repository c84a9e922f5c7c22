// CompiledModel: a C-level model function (a capsule named by its
// signature, a function address, or a built-in model of the engine) with
// what it declares of itself.  The filters, the bank and the smoother
// evaluate it natively; from Python it is called as a NumPy callback, so
// that users can test and plot it.
#include "engine_models.hpp"

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"
#include "../kit/numpy_api.hpp"

#include "../kernels/tracking_models.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vexel::py {

namespace {

constexpr Params kNew{"CompiledModel.__new__()",
                      9,
                      2,
                      {"kind", "function", "user_data", "dim_in", "dim_out", "angles", "text", "reduce", "keep"}};

/// Beyond this no filter dimension fits in memory (the filters refuse it).
constexpr Index kLargestDimension = Index{1} << 32;

/// An optional dimension: None (any) or a positive int.
Index optional_dim(PyObject* obj, const char* name) {
  if (!given(obj)) return -1;
  const std::uint64_t v = arg_u64(obj, name);
  if (v == 0) fail(Error::value(std::string(name) + " must be positive"));
  if (v > static_cast<std::uint64_t>(kLargestDimension)) {
    fail(Error{ErrorKind::Overflow, std::string(name) + " is too large for any filter: " + std::to_string(v) +
                                        " (at most 2**32)"});
  }
  return static_cast<Index>(v);
}

/// A pointer from a capsule (its pointer, whatever its name) or an int.
void* address_of(PyObject* obj, const char* name) {
  if (PyCapsule_CheckExact(obj)) {
    void* p = PyCapsule_GetPointer(obj, PyCapsule_GetName(obj));
    if (p == nullptr) fail_python();
    return p;
  }
  if (PyLong_Check(obj)) {
    void* p = PyLong_AsVoidPtr(obj);
    if (p == nullptr && PyErr_Occurred()) fail_python();
    return p;
  }
  fail(Error::type(std::string(name) + " must be a PyCapsule or an int address, got " + type_name(obj)));
}

/// The function from a capsule named by the model signature (its context,
/// set by scipy's LowLevelCallable, is the default user data), an int
/// address, or the name of a built-in model (returned; else nullptr).
const BuiltinModel* take_function(CompiledModelState& m, PyObject* function, PyObject* user_data) {
  if (PyUnicode_Check(function)) {
    const std::string name = arg_string(function, "function");
    const BuiltinModel* builtin = find_builtin_model(name);
    if (builtin == nullptr) fail(Error::value("function names no built-in model: '" + name + "'"));
    m.function = builtin->function;
    if (given(user_data)) {
      Ref values = Ref::steal(PySequence_Tuple(user_data));
      if (!values) fail_python();
      const Py_ssize_t n = PyTuple_Size(values.get());
      for (Py_ssize_t k = 0; k < n; ++k) {
        m.constants.push_back(convert_arg("user_data", [&] { return to_double(PyTuple_GetItem(values.get(), k)); }));
      }
    }
    if (builtin->constants >= 0 && static_cast<Index>(m.constants.size()) != builtin->constants) {
      fail(Error::value("the built-in model '" + name + "' takes " + std::to_string(builtin->constants) +
                        " constants, got " + std::to_string(m.constants.size())));
    }
    m.user_data = m.constants.empty() ? nullptr : m.constants.data();
    return builtin;
  }
  if (PyCapsule_CheckExact(function)) {
    const char* name = PyCapsule_GetName(function);
    if (!is_model_signature(name)) {
      fail(Error::type("a model capsule must be named by the model signature \"" + std::string(kModelSignature) +
                       "\", got \"" + std::string(name ? name : "NULL") + "\""));
    }
    m.function = reinterpret_cast<ModelFunction>(PyCapsule_GetPointer(function, name));
    if (m.function == nullptr) fail_python();
    m.user_data = PyCapsule_GetContext(function);
    if (m.user_data == nullptr && PyErr_Occurred()) fail_python();
    m.function_object = Ref::borrow(function);
  } else if (PyLong_Check(function)) {
    m.function = reinterpret_cast<ModelFunction>(address_of(function, "function"));
  } else {
    fail(Error::type("function must be a PyCapsule named by the model signature, an int address or the name of "
                     "a built-in model, got " + type_name(function)));
  }
  if (m.function == nullptr) fail(Error::value("function is a null pointer"));
  if (given(user_data)) {
    m.user_data = address_of(user_data, "user_data");
    m.user_data_object = Ref::borrow(user_data);
  }
  return nullptr;
}

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> Ref {
    PyObject* a[kMaxParams] = {};
    parse_args(kNew, args, kwargs, a);
    CompiledModelState m;
    const std::string kind = arg_string(a[0], "kind");
    if (kind != "fx" && kind != "hx") fail(Error::value("kind must be 'fx' or 'hx', got '" + kind + "'"));
    m.measurement = kind == "hx";
    const BuiltinModel* builtin = take_function(m, a[1], a[2]);
    m.dim_in = optional_dim(a[3], "dim_in");
    m.dim_out = optional_dim(a[4], "dim_out");
    // A built-in whose constants are a matrix reads dim_out * dim_in of them:
    // it needs both dimensions fixed, and exactly that many constants.
    if (builtin != nullptr && builtin->constants < 0) {
      if (m.dim_in < 0 || m.dim_out < 0) {
        fail(Error::value("the built-in model '" + std::string(builtin->name) + "' needs dim_in and dim_out"));
      }
      // Compared without forming a product that could overflow.
      const auto have = static_cast<Index>(m.constants.size());
      if (have % m.dim_in != 0 || have / m.dim_in != m.dim_out) {
        fail(Error::value("the built-in model '" + std::string(builtin->name) + "' takes dim_out * dim_in = " +
                          std::to_string(m.dim_out) + " * " + std::to_string(m.dim_in) + " constants, got " +
                          std::to_string(have)));
      }
    }
    if (!m.measurement && m.dim_in >= 0 && m.dim_out >= 0 && m.dim_in != m.dim_out) {
      fail(Error::value("an fx model maps states to states: dim_in and dim_out must be equal"));
    }
    if (given(a[5])) {
      // Below the output's size when the model declares it, else below the
      // largest dimension a filter can have; distinct either way.
      const Index declared = m.dim_out >= 0 ? m.dim_out : (m.measurement ? -1 : m.dim_in);
      const Index bound = declared >= 0 ? declared : kLargestDimension;
      m.angles = arg_indices(a[5], "angles", bound, true);
    }
    m.text = given(a[6]) ? arg_string(a[6], "text") : "CompiledModel(" + kind + ")";
    if (given(a[7])) {
      if (!PyTuple_Check(a[7])) fail(Error::type("reduce must be a tuple, as __reduce__ returns, got " + type_name(a[7])));
      m.reduce = Ref::borrow(a[7]);
    }
    m.keep = Ref::borrow(given(a[8]) ? a[8] : Py_None);
    // A built-in's user data points into its constants, which the move
    // into the object keeps in place (a vector's storage moves with it).
    return new_instance(type, std::move(m));
  });
}

const CompiledModelState& state_of(PyObject* self) {
  return receiver<CompiledModelState>(self, g_compiled_model_class.type, g_compiled_model_class.name).state;
}

/// model(X, dt, *params) for an fx, model(X, *params) for an hx: the images
/// of the rows of X as a new float64 array.
PyObject* model_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> Ref {
    const CompiledModelState& m = state_of(self);
    const Py_ssize_t n = PyTuple_Size(args);
    const Py_ssize_t fixed = m.measurement ? 1 : 2;
    if ((kwargs != nullptr && PyDict_Size(kwargs) > 0) || n < fixed) {
      fail(Error::type(m.text + (m.measurement ? " is called as model(X, *hx_args)" : " is called as model(X, dt, *fx_args)")));
    }
    if (!ensure_numpy()) fail_python();
    Ref x = Ref::steal(PyArray_FROMANY(PyTuple_GetItem(args, 0), NPY_DOUBLE, 2, 2, NPY_ARRAY_CARRAY_RO));
    if (!x) fail_python();
    auto* xa = reinterpret_cast<PyArrayObject*>(x.get());
    const Index rows = PyArray_DIM(xa, 0);
    const Index dim_in = PyArray_DIM(xa, 1);
    const double dt = m.measurement ? 0.0 : arg_double(PyTuple_GetItem(args, 1), "dt");
    Index dim_out = m.dim_out >= 0 ? m.dim_out : m.measurement ? -1 : dim_in;
    if (dim_out < 0) fail(Error::value(m.text + " does not declare its dim_out, so it can only be called by a filter"));
    check_model_dims(m, dim_in, dim_out);
    Ref extra = Ref::steal(PyTuple_GetSlice(args, fixed, n));
    if (!extra) fail_python();
    const ModelParams params(extra.get(), m.measurement);
    const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(dim_out)};
    Ref out = new_array(2, dims);
    const auto* points = static_cast<const double*>(PyArray_DATA(xa));
    double* images = array_data(out);
    const ModelFunctionCall call = bind_call(m, params);
    int code = 0;
    without_lock([&] { code = rows > 0 ? call(points, images, rows, dim_in, dim_out, dt) : 0; });
    if (code != 0) fail(model_failed(m, code));
    return out;
  });
}

PyObject* model_repr(PyObject* self) {
  return boundary([&]() -> Ref { return text_object(state_of(self).text); });
}

Ref index_tuple(const std::vector<Index>& v) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(v.size())));
  if (!t) fail_python();
  for (std::size_t k = 0; k < v.size(); ++k) {
    PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(k), new_u64(static_cast<std::uint64_t>(v[k])).release());
  }
  return t;
}

Ref optional_size(Index v) { return v < 0 ? none() : new_u64(static_cast<std::uint64_t>(v)); }

PyObject* get_kind(PyObject* self, void*) {
  return boundary([&]() -> Ref { return text_object(state_of(self).callback()); });
}
PyObject* get_dim_in(PyObject* self, void*) {
  return boundary([&]() -> Ref { return optional_size(state_of(self).dim_in); });
}
PyObject* get_dim_out(PyObject* self, void*) {
  return boundary([&]() -> Ref { return optional_size(state_of(self).dim_out); });
}
PyObject* get_angles(PyObject* self, void*) {
  return boundary([&]() -> Ref { return index_tuple(state_of(self).angles); });
}
PyObject* get_keep(PyObject* self, void*) {
  return boundary([&]() -> Ref { return Ref::borrow(state_of(self).keep.get()); });
}

PyObject* model_reduce(PyObject* self, PyObject* /*unused*/) {
  return boundary([&]() -> Ref {
    const CompiledModelState& m = state_of(self);
    if (!m.reduce) {
      fail(Error::type("cannot pickle " + m.text + ": a model made from a function pointer cannot be sent to "
                       "another process; build it there, or use a built-in model or compiled_fx/compiled_hx"));
    }
    return Ref::borrow(m.reduce.get());
  });
}

PyGetSetDef kGetSet[] = {
    {"kind", &get_kind, nullptr, "'fx' (a transition, called with dt) or 'hx' (a measurement model).", nullptr},
    {"dim_in", &get_dim_in, nullptr, "Entries of a point the model takes (None: any).", nullptr},
    {"dim_out", &get_dim_out, nullptr, "Entries of an image the model gives (None: any).", nullptr},
    {"angles", &get_angles, nullptr, "Output entries that are angles in radians.", nullptr},
    {"keep", &get_keep, nullptr, "The object the function came from, held for the model's lifetime.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"__reduce__", as_cfunction(&model_reduce), METH_NOARGS, "Pickling: by value where the model says how."},
    {nullptr, nullptr, 0, nullptr},
};

const char* const kDoc = signature_doc(kNew, ""
    "A model function with the compiled calling convention, evaluated without\n"
    "Python by the filters, the bank and the smoother. function is a PyCapsule\n"
    "named by the model signature, an int address or a built-in model's name;\n"
    "called from Python as model(X, dt, *fx_args) or model(X, *hx_args).", false);

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<CompiledModelState>)},
    {Py_tp_call, reinterpret_cast<void*>(&model_call)},
    {Py_tp_repr, reinterpret_cast<void*>(&model_repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kTypeDefinition{"CompiledModel", static_cast<int>(sizeof(CompiledModelInstance)), 0, Py_TPFLAGS_DEFAULT,
                            kSlots};

}  // namespace

void add_models(PyObject* module) {
  if (g_compiled_model_class.type == nullptr) {
    // The reference is kept for the life of the process.
    g_compiled_model_class.type =
        reinterpret_cast<PyTypeObject*>(new_final_class(&kTypeDefinition, "vexel_ckf._engine").release());
  }
  add_export(module, "CompiledModel", Ref::borrow(reinterpret_cast<PyObject*>(g_compiled_model_class.type)));
  add_export(module, "model_signature", text_object(kModelSignature));
}

}  // namespace vexel::py
