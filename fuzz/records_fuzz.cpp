// The driver records and the configuration descriptor as they arrive from a device or driver:
// every decoder must stay inside the bytes it is given, and what it accepts must survive an
// encode and a second decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "backend/usb_link/usb_link_file.h"
#include "protocol/usbio_records.h"

namespace {

using namespace vexdaq;

template <typename Record, size_t kSize>
void round_trip(const uint8_t *data, size_t size) {
  Record record;
  if (!decode(data, size, record)) return;
  uint8_t encoded[kSize];
  encode(record, encoded);
  Record again;
  if (!decode(encoded, kSize, again)) std::abort();
  uint8_t encoded_again[kSize];
  encode(again, encoded_again);
  if (std::memcmp(encoded, encoded_again, kSize) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Exactly sized copies, so that a read one byte too far is caught.
  std::vector<uint8_t> bytes(data, data + size);
  const uint8_t *in = bytes.empty() ? nullptr : bytes.data();
  if (in != nullptr) {
    round_trip<ControlRequest, kControlRequestSize>(in, size);
    round_trip<DescriptorRequest, kDescriptorRequestSize>(in, size);
    round_trip<ConfigurationRequest, kConfigurationRequestSize>(in, size);
    round_trip<ConfigurationInfo, kConfigurationInfoSize>(in, size);
    round_trip<DriverInfo, kDriverInfoSize>(in, size);
    round_trip<DeviceInfo, kDeviceInfoSize>(in, size);
    round_trip<BandwidthInfo, kBandwidthInfoSize>(in, size);
    ControlRequest request;
    if (decode(in, size, request)) {
      uint8_t type = 0;
      control_request_type(request, (size & 1) != 0, &type);
    }
  }
  ConfigurationInfo info;
  uint8_t value = 0;
  if (parse_configuration(bytes, info, &value)) {
    // The counts are the device's; the entries filled never exceed the record's tables.
    uint8_t encoded[kConfigurationInfoSize];
    encode(info, encoded);
  }
  return 0;
}
