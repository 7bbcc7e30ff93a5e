// Identity and version texts: the library's own, the driver's and the device's.
#include <cstring>

#include "api/api_guard.h"
#include "device/control_request.h"
#include "device/device_state.h"
#include "platform/thread.h"
#include "protocol/requests.h"
#include "session/format.h"
#include "session/log.h"
#include "vexdaq/vexdaq.h"

using namespace vexdaq;

namespace {

constexpr int32_t kVersionMajor = 5;
constexpr int32_t kVersionMinor = 0;
constexpr const char *kBuildId = "17d11d6";

// The four binary-coded-decimal digit groups of a 16-bit version, most significant first. Each is
// printed in decimal, so a group above 9 shows as two digits.
struct BcdDigits {
  int32_t d3, d2, d1, d0;
};

BcdDigits bcd_digits(uint16_t v) {
  return {v >> 12, (v >> 8) & 15, (v >> 4) & 15, v & 15};
}

// Stores the empty text, as far as the buffer allows.
int32_t empty_text(char *buffer, int32_t size) {
  return format_text(buffer, size, "%s", "");
}

}  // namespace

extern "C" {

int32_t vexdaq_get_version(char *buffer, int32_t size) {
  return api_guard("vexdaq_get_version", [&]() -> int32_t {
    if (buffer == nullptr) return -1;
    return format_text(buffer, size, "%d.%d.%s", kVersionMajor, kVersionMinor, kBuildId);
  });
}

int32_t vexdaq_get_information(char *buffer, int32_t size) {
  return api_guard("vexdaq_get_information", [&]() -> int32_t {
    if (buffer == nullptr) return -1;
    return format_text(buffer, size, "%s %s", build_date(), build_time());
  });
}

int32_t vexdaq_get_driver_version(char *buffer, int32_t size) {
  return api_guard("vexdaq_get_driver_version", [&]() -> int32_t {
    if (buffer == nullptr) return -1;
    const uint16_t version = g_device.driver_version;
    if (version == 0) return empty_text(buffer, size);
    const BcdDigits d = bcd_digits(version);
    if (version >= 0x1000) return format_text(buffer, size, "%d%d.%d%d", d.d3, d.d2, d.d1, d.d0);
    return format_text(buffer, size, "%d.%d%d", d.d2, d.d1, d.d0);
  });
}

int32_t vexdaq_get_device_name(char *buffer) {
  return api_guard("vexdaq_get_device_name", [&]() -> int32_t {
    if (buffer == nullptr) return -1;
    // The name came from the device: never trust it to be terminated within its 32 bytes.
    char name[kProductNameSize + 1] = {};
    std::memcpy(name, g_device.product_name, kProductNameSize);
    return format_text(buffer, kProductNameSize, "%s", name);
  });
}

int32_t vexdaq_get_device_version(char *buffer, int32_t size) {
  return api_guard("vexdaq_get_device_version", [&]() -> int32_t {
    if (buffer == nullptr) return -1;
    // A failed query reports FPGA version 00 rather than whatever the stack held.
    uint8_t fpga = 0;
    if (!class_in(REQ_FPGA_VERSION, 0, 0, &fpga, 1)) {
      log_print(LogLevel::kEntry, "PIPE0_CLASS_IN Request (0x%.2X) failed, status = 0x%08X.\n",
                REQ_FPGA_VERSION, platform::last_error());
      fpga = 0;
    }
    log_print(LogLevel::kEntry, "FPGA code version : 0x%.2X\r\n", fpga);

    const uint16_t bcd = g_device.device_bcd;
    if (bcd == 0) return empty_text(buffer, size);
    const BcdDigits d = bcd_digits(bcd);
    const int32_t f1 = fpga >> 4;
    const int32_t f0 = fpga & 15;
    if (bcd >= 0x1000) {
      return format_text(buffer, size, "%d%d.%d%d.%d%d", d.d3, d.d2, d.d1, d.d0, f1, f0);
    }
    return format_text(buffer, size, "%d.%d%d.%d%d", d.d2, d.d1, d.d0, f1, f0);
  });
}

}  // extern "C"
