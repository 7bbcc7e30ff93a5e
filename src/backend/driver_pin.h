// Holding a handle's open file for a run of transfers.
#pragma once

#include <memory>

#include "backend/driver.h"

namespace vexdaq {

// The open file behind a handle, for a caller that starts many transfers on it (a streaming
// period): starting them on the file skips the handle table's lock and lookup each time. Null,
// with the last error set, for a bad handle. The file stays alive while the pointer is held,
// even when the handle is closed meanwhile (its transfers then fail as the backend's closed file
// does). Any thread.
std::shared_ptr<OpenFile> driver_pin(DeviceHandle handle);

}  // namespace vexdaq
