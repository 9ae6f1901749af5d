// The type objects and function records that module start-up registers.
#pragma once

#include "python/object.h"

namespace tarnwick::py {

PyTypeObject* backtest_config_type();

}  // namespace tarnwick::py
