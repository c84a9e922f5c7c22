// Compiled models: C-level functions with the calling convention of
// kernels/model_function.hpp, held by a CompiledModel object and evaluated
// without Python.  The filters, the bank and the smoother take one wherever
// they take a Python fx or hx (ModelCall picks the kind), so a compiled
// model needs no path of its own.
#pragma once

#include "array_accept.hpp"
#include "instances.hpp"
#include "model_callbacks.hpp"
#include "py_ref.hpp"

#include "../kernels/linalg.hpp"
#include "../kernels/model_function.hpp"

#include <optional>
#include <string>
#include <vector>

namespace vexel::py {

/// A CompiledModel's state: the function and its data, what it declares of
/// itself, and the Python objects that keep the function and data alive for
/// as long as the model lives (a caller dropping its capsule or
/// LowLevelCallable mid-run changes nothing).  Immutable once built, so
/// worker threads read it freely.
struct CompiledModelState {
  ModelFunction function = nullptr;
  void* user_data = nullptr;
  std::vector<double> constants;  // a built-in model's data (user_data points here)
  bool measurement = false;       // an hx: called with dt 0, and from Python without dt
  Index dim_in = -1;              // -1: any
  Index dim_out = -1;
  std::vector<Index> angles;  // output entries that are angles in radians
  std::string text;           // the repr
  Ref keep;                   // the object the function came from
  Ref function_object;        // its capsule, when it came as one
  Ref user_data_object;
  Ref reduce;  // what pickling stores; empty: the model does not pickle

  const char* callback() const { return measurement ? "hx" : "fx"; }
};

using CompiledModelInstance = Instance<CompiledModelState>;

/// The CompiledModel class, created by the engine module.
extern ClassInfo g_compiled_model_class;

/// The model behind `obj` when it is a CompiledModel, else nullptr.
const CompiledModelState* compiled_model(PyObject* obj);

/// True when `name` is the model function's C signature, as scipy and the
/// ctypes spellings write it: `const` optional, and `long`, `ssize_t`,
/// `Py_ssize_t`, `npy_intp` or `long long` for intptr_t where they are its size.
bool is_model_signature(const char* name);

/// The numeric extra arguments of one call of a compiled model: none, one
/// float64 array (its values, flattened in C order) or numbers.  Anything
/// else is the TypeError naming `fx_args` or `hx_args`.
class ModelParams {
 public:
  ModelParams(PyObject* extra_args, bool measurement);
  const double* data() const { return values_.empty() ? nullptr : values_.data(); }
  Index size() const { return static_cast<Index>(values_.size()); }

 private:
  std::vector<double> values_;
};

/// The model's call with the given parameters, for workers.
ModelFunctionCall bind_call(const CompiledModelState& m, const ModelParams& params);

/// The checks a model's dimensions get where a caller takes it: a declared
/// dim_in or dim_out that differs from the caller's is the ValueError naming
/// the model and both numbers.
void check_model_dims(const CompiledModelState& m, Index dim_in, Index dim_out);

/// The RuntimeError of a nonzero return.
Error model_failed(const CompiledModelState& m, int code);

/// A compiled model as a PointModel: its points and images in buffers of
/// its own, the function called on them directly.
class CompiledCall final : public PointModel {
 public:
  CompiledCall(const CompiledModelState& model, PyObject* extra_args)
      : model_(model), params_(extra_args, model.measurement) {}
  /// The same with the parameters converted already (a worker's own call).
  CompiledCall(const CompiledModelState& model, const ModelParams& params) : model_(model), params_(params) {}
  double* points(Index rows, Index dim_in) override;
  void evaluate(double dt, Index dim_out, double* images) override;
  void evaluate(double dt, Index dim_out, DMatrix& images) override;
  const ModelParams& params() const { return params_; }

 private:
  const CompiledModelState& model_;
  ModelParams params_;
  std::vector<double> points_, images_;
  Index rows_ = 0, dim_in_ = 0;
};

/// The model of one call: a CompiledModel evaluated natively, or any other
/// callable through Python (PythonModel, with `cache` for a bank).
class ModelCall {
 public:
  ModelCall(PyObject* callable, PyObject* extra_args, bool pass_dt, Ref* cache = nullptr);
  PointModel& get() { return compiled_ ? static_cast<PointModel&>(*compiled_) : *python_; }
  /// The compiled model and its bound call, or nullptr for a Python callable.
  const CompiledModelState* compiled() const { return model_; }
  ModelFunctionCall bound() const { return bind_call(*model_, compiled_->params()); }

 private:
  const CompiledModelState* model_ = nullptr;
  std::optional<CompiledCall> compiled_;
  std::optional<PythonModel> python_;
};

}  // namespace vexel::py
