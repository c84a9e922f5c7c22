// Compiled models (see compiled_models.hpp).
#include "compiled_models.hpp"

#include "array_convert.hpp"
#include "errors.hpp"
#include "finite_checks.hpp"
#include "number_format.hpp"
#include "numpy_api.hpp"
#include "text.hpp"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace vexel::py {

ClassInfo g_compiled_model_class{nullptr, "CompiledModel"};

const CompiledModelState* compiled_model(PyObject* obj) {
  if (g_compiled_model_class.type == nullptr || obj == nullptr ||
      !PyObject_TypeCheck(obj, g_compiled_model_class.type)) {
    return nullptr;
  }
  return &reinterpret_cast<CompiledModelInstance*>(obj)->state;
}

namespace {

/// The signature's tokens: identifiers, '*', '(', ')' and ','.
std::vector<std::string> tokens(const char* text) {
  std::vector<std::string> out;
  for (const char* p = text; *p != '\0';) {
    if (std::isspace(static_cast<unsigned char>(*p))) {
      ++p;
    } else if (std::isalnum(static_cast<unsigned char>(*p)) || *p == '_') {
      const char* start = p;
      while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '_') ++p;
      out.emplace_back(start, p);
    } else {
      out.emplace_back(1, *p++);
    }
  }
  return out;
}

/// The tokens with `const` dropped and every integer type of a pointer's
/// size written intptr_t.
std::vector<std::string> normalised(const char* text) {
  std::vector<std::string> in = tokens(text);
  std::vector<std::string> out;
  for (std::size_t k = 0; k < in.size(); ++k) {
    const std::string& t = in[k];
    if (t == "const") continue;
    const bool long_long = t == "long" && k + 1 < in.size() && in[k + 1] == "long";
    if (long_long) {
      ++k;
      out.emplace_back(sizeof(long long) == sizeof(std::intptr_t) ? "intptr_t" : "long long");
      continue;
    }
    const bool pointer_sized = t == "ssize_t" || t == "Py_ssize_t" || t == "npy_intp" || t == "intptr_t" ||
                               (t == "long" && sizeof(long) == sizeof(std::intptr_t));
    out.push_back(pointer_sized ? "intptr_t" : t);
  }
  return out;
}

/// Every element of one float64 array, in C order.
void append_array(PyObject* obj, std::vector<double>& out) {
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  Ref contiguous = Ref::steal(PyArray_FROMANY(obj, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO));
  if (!contiguous) fail_python();
  const auto n = static_cast<std::size_t>(PyArray_SIZE(a));
  const auto* data = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(contiguous.get())));
  out.insert(out.end(), data, data + n);
}

}  // namespace

bool is_model_signature(const char* name) {
  static const std::vector<std::string> expected = normalised(kModelSignature);
  return name != nullptr && normalised(name) == expected;
}

ModelParams::ModelParams(PyObject* extra_args, bool measurement) {
  if (extra_args == nullptr) return;
  const char* name = measurement ? "hx_args" : "fx_args";
  const Py_ssize_t n = PyTuple_Size(extra_args);
  if (n < 0) fail_python();
  if (!ensure_numpy()) fail_python();
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* item = PyTuple_GetItem(extra_args, k);
    if (PyArray_Check(item) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(item)) == NPY_DOUBLE && n == 1) {
      append_array(item, values_);
      continue;
    }
    // Numbers: Python floats and ints, NumPy scalars; never a bool, a
    // string or a container (their meaning as parameters would be a guess).
    const bool number = (PyFloat_Check(item) || PyLong_Check(item) || PyArray_IsScalar(item, Number)) &&
                        !PyBool_Check(item) && !PyArray_IsScalar(item, Bool);
    if (!number) {
      fail(Error::type(std::string(name) + " of a compiled model must be numbers or one float64 array, got " +
                       type_name(item) + (n > 1 ? " at position " + std::to_string(k) : std::string())));
    }
    const double v = PyFloat_AsDouble(item);
    if (v == -1.0 && PyErr_Occurred()) fail_python();
    values_.push_back(v);
  }
}

ModelFunctionCall bind_call(const CompiledModelState& m, const ModelParams& params) {
  return ModelFunctionCall{m.function, m.user_data, params.data(), static_cast<std::intptr_t>(params.size())};
}

void check_model_dims(const CompiledModelState& m, Index dim_in, Index dim_out) {
  if (m.dim_in >= 0 && m.dim_in != dim_in) {
    fail(Error::value(std::string(m.callback()) + " " + m.text + " takes states of " + num(m.dim_in) +
                      " entries, but the filter's states have " + num(dim_in)));
  }
  if (m.dim_out >= 0 && m.dim_out != dim_out) {
    fail(Error::value(std::string(m.callback()) + " " + m.text + " gives " + num(m.dim_out) + " entries per point, " +
                      "but the filter needs " + num(dim_out) + (m.measurement ? " (dim_z)" : " (dim_x)")));
  }
}

Error model_failed(const CompiledModelState& m, int code) {
  Error e = Error::runtime(std::string(m.callback()) + " " + m.text + " returned " + std::to_string(code) +
                           " (a compiled model returns 0 on success)");
  e.because("model_failed").callback = m.callback();
  return e;
}

double* CompiledCall::points(Index rows, Index dim_in) {
  points_.resize(static_cast<std::size_t>(rows * dim_in));
  rows_ = rows;
  dim_in_ = dim_in;
  return points_.data();
}

void CompiledCall::evaluate(double dt, Index dim_out, double* images) {
  check_model_dims(model_, dim_in_, dim_out);
  const int code = bind_call(model_, params_)(points_.data(), images, rows_, dim_in_, dim_out, dt);
  if (code != 0) fail(model_failed(model_, code));
}

void CompiledCall::evaluate(double dt, Index dim_out, DMatrix& images) {
  images_.resize(static_cast<std::size_t>(rows_ * dim_out));
  evaluate(dt, dim_out, images_.data());
  images = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(images_.data(),
                                                                                                      rows_, dim_out);
}

ModelCall::ModelCall(PyObject* callable, PyObject* extra_args, bool pass_dt, Ref* cache)
    : model_(compiled_model(callable)) {
  if (model_ != nullptr) {
    if (model_->measurement == pass_dt) {
      fail(Error::type(std::string(pass_dt ? "fx" : "hx") + " is the " + model_->callback() + " model " +
                       model_->text + "; a prediction takes an fx model and an update an hx model"));
    }
    compiled_.emplace(*model_, extra_args);
  } else {
    python_.emplace(callable, extra_args, pass_dt, cache);
  }
}

}  // namespace vexel::py
