#include "result.hpp"

#include <string>

namespace vexel {

void internal_failure(const char* condition, const char* file, int line) {
  throw InternalFailure(std::string("internal check failed: ") + condition + " (" + file + ":" +
                        std::to_string(line) + ")");
}

}  // namespace vexel
