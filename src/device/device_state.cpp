#include "device/device_state.h"

namespace vexdaq {

DeviceState g_device;

}  // namespace vexdaq
