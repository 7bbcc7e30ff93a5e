#include "core/dispatch.h"

namespace vexdaq {

// Not built yet: commands are dropped.
void dispatch_command_message(const CoreMessage &) {}

}  // namespace vexdaq
