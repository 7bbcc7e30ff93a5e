// Firmware and serial-number download: need an opened device, not a running core.
#include "api/api_guard.h"
#include "backend/driver.h"
#include "device/device_state.h"
#include "device/firmware_download.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"

using namespace vexdaq;

static_assert(VEXDAQ_FIRMWARE_CAPACITY == kFirmwareCapacity, "the header names the loader's limit");

namespace {

// Without an opened device every request would fail; nothing is sent then.
bool device_opened() {
  return g_device.control_handle != kInvalidHandle;
}

}  // namespace

extern "C" {

int32_t vexdaq_firmware_download(const char *path) {
  return api_guard("vexdaq_firmware_download", [&]() -> int32_t {
    if (!device_opened()) return -1;
    return usbio_firmware_download(path);
  });
}

int32_t vexdaq_serial_download(const char *text, int32_t count) {
  return api_guard("vexdaq_serial_download", [&]() -> int32_t {
    if (!device_opened()) return -1;
    return usbio_serial_download(text, count);
  });
}

}  // extern "C"
