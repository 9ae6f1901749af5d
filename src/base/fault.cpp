#include "base/fault.h"

namespace tarnwick::base {

void fault(const std::string& message, std::source_location where) { throw Fault(message, where); }

}  // namespace tarnwick::base
