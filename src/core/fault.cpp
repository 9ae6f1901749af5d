#include "core/fault.h"

namespace tarnwick {

void fault(const std::string& message, std::source_location where) { throw Fault(message, where); }

}  // namespace tarnwick
