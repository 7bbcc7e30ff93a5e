#include "core/core_state.h"

namespace vexdaq {

CoreState g_core;

}  // namespace vexdaq
