// The cubature smoother's binding in vexel_ckf._engine, and the compiled
// transition its backward pass runs without Python (the nonlinear panels
// smooth with it too).
#pragma once

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"

#include "../smoother/cubature_smoother.hpp"

#include <vector>

namespace vexel::py {

/// Adds `cubature_smooth` to the module (and to its __all__).
void add_smoother(PyObject* module);

/// A compiled fx as the backward pass's transition: called once per step on
/// that step's 2n points, without Python.  A nonzero return or a non-finite
/// image fails the pass with the error naming the step, and marks the
/// failure as the model's (`model_fault`), as opposed to the arithmetic's.
class CompiledTransition final : public smoother::PointTransition {
 public:
  CompiledTransition(const CompiledModelState& model, ModelFunctionCall call, Index n)
      : model_(model), call_(call), n_(n) {}

  Status propagate(Index first, Index count, const DMatrix& points, double dt, DMatrix& images) override;
  bool model_fault() const { return model_fault_; }

 private:
  using RowMap = Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;
  const CompiledModelState& model_;
  ModelFunctionCall call_;
  Index n_;
  std::vector<double> in_, out_;
  bool model_fault_ = false;
};

}  // namespace vexel::py
