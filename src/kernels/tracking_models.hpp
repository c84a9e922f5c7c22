#pragma once
#include "model_function.hpp"
#include <string>
namespace vexel {
struct BuiltinModel { const char* name; ModelFunction function; std::intptr_t constants; };
const BuiltinModel* find_builtin_model(const std::string& name);
}
