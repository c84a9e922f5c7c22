#include "tracking_models.hpp"
namespace vexel {
const BuiltinModel* find_builtin_model(const std::string&) { return nullptr; }
}
