#include "session/device_session.h"

namespace vexdaq {

// Constant-initialised to the closed values before any code of the library runs.
DeviceSession g_session;

}  // namespace vexdaq
