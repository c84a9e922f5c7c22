#include "motion_models.hpp"

#include <string>

namespace vexel {

namespace {

constexpr std::array<const char*, 2> kModels = {"constant_velocity", "constant_acceleration"};
constexpr std::array<const char*, 2> kLayouts = {"blocked", "interleaved"};

const char* layout_description(Index order, bool interleaved) {
  if (order == 2) return interleaved ? "[pos, vel, pos, vel, ...]" : "[pos..., vel...]";
  return interleaved ? "[pos, vel, acc, pos, vel, acc, ...]" : "[pos..., vel..., acc...]";
}

}  // namespace

const std::array<const char*, 2>& supported_standard_models() { return kModels; }

const std::array<const char*, 2>& supported_standard_layouts() { return kLayouts; }

Result<DMatrix> transition_matrix(const std::string& model_type, const std::string& layout,
                                  Index dim_x, double dt) {
  // Model (compared exactly), which fixes the entries per axis.
  Index order;
  if (model_type == "constant_acceleration") {
    order = 3;
  } else if (model_type == "constant_velocity") {
    order = 2;
  } else {
    return Error::value("unsupported model_type: " + model_type);
  }

  // The layout, checked after the model: where each axis keeps its entries.
  bool interleaved;
  if (layout == "interleaved") {
    interleaved = true;
  } else if (layout == "blocked") {
    interleaved = false;
  } else {
    return Error::value("unsupported layout: " + layout + "; expected 'blocked' or 'interleaved'");
  }

  // The state must split into whole axes.
  const Index axes = dim_x / order;
  if (axes * order != dim_x) {
    return Error::value(model_type + " requires dim_x to be a multiple of " + std::to_string(order) +
                        " for the " + layout + " layout " + layout_description(order, interleaved) +
                        "; got dim_x=" + std::to_string(dim_x));
  }

  // Identity plus the kinematic couplings of each axis; axes never mix.
  DMatrix F = DMatrix::Identity(dim_x, dim_x);
  const double h = (dt * dt) * 0.5;
  for (Index k = 0; k < axes; ++k) {
    const Index p = interleaved ? order * k : k;
    const Index v = interleaved ? order * k + 1 : axes + k;
    F.coeffRef(p, v) = dt;
    if (order == 3) {
      const Index c = interleaved ? order * k + 2 : 2 * axes + k;
      F.coeffRef(p, c) = h;
      F.coeffRef(v, c) = dt;
    }
  }
  return F;
}

}  // namespace vexel
