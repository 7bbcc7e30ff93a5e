#include "session/session_state.h"

namespace vexdaq {

// Constant-initialised where it can be; the lock is made before any export can run.
SessionState g_session;

}  // namespace vexdaq
