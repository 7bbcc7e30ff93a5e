// The virtual-instrument backend: plugged virtual instruments as devices of the class, each
// reached as a UsbLink through the usb_link backend.
#pragma once

#include "backend/driver.h"

namespace vexdaq {

Backend &sim_backend();

}  // namespace vexdaq
