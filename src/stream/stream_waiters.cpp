#include "stream/stream_waiters.h"

namespace vexdaq {

// Not built yet: nobody waits.
void notify_stream_waiters() {}

}  // namespace vexdaq
