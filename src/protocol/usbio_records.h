// The driver's records, byte for byte as they cross the driver seam: little-endian, packed, fixed
// sizes. The structs are the decoded forms; encode() writes exactly k...Size bytes and every
// decode is bounded by the size the caller says it holds (a short buffer decodes as failure, a
// longer one is read only up to the record's size).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace vexdaq {

inline constexpr uint32_t kControlRequestSize = 18;
inline constexpr uint32_t kDescriptorRequestSize = 8;
inline constexpr uint32_t kConfigurationRequestSize = 260;
inline constexpr uint32_t kConfigurationInfoSize = 776;
inline constexpr uint32_t kDriverInfoSize = 12;
inline constexpr uint32_t kDeviceInfoSize = 16;
inline constexpr uint32_t kBandwidthInfoSize = 16;

inline constexpr int kMaxInterfaceSettings = 32;  // in ConfigurationRequest and ConfigurationInfo
inline constexpr int kMaxPipeEntries = 32;        // in ConfigurationInfo
inline constexpr uint32_t kConfigurationInfoPipeOffset = 264;
inline constexpr uint32_t kPipeEntrySize = 16;
inline constexpr uint32_t kPipeEntryEndpointOffset = 10;

// Descriptor types of the USB standard.
inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorString = 3;
inline constexpr uint8_t kDescriptorInterface = 4;
inline constexpr uint8_t kDescriptorEndpoint = 5;
inline constexpr uint16_t kLanguageEnglishUs = 0x0409;

// A class or vendor request on the default pipe (PIPE0_CLASS_IN / PIPE0_CLASS_OUT). The data
// length is the size of the call's out buffer.
struct ControlRequest {
  static constexpr uint32_t kSize = kControlRequestSize;
  uint32_t flags = 0;      // 0x10000: short transfer allowed
  uint32_t type = 0;       // 1 class, 2 vendor
  uint32_t recipient = 0;  // 0 device, 1 interface, 2 endpoint, 3 other
  uint8_t reserved_bits = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
};

// GET_DESCRIPTOR input.
struct DescriptorRequest {
  static constexpr uint32_t kSize = kDescriptorRequestSize;
  uint32_t recipient = 0;
  uint8_t descriptor_type = 0;
  uint8_t descriptor_index = 0;
  uint16_t language_id = 0;
};

struct InterfaceSetting {
  uint16_t interface = 0;
  uint16_t alternate_setting = 0;
  uint32_t maximum_transfer_size = 0;
};

// SET_CONFIGURATION input.
struct ConfigurationRequest {
  static constexpr uint32_t kSize = kConfigurationRequestSize;
  uint16_t configuration_index = 0;
  uint16_t interface_count = 0;
  InterfaceSetting settings[kMaxInterfaceSettings] = {};
};

// One interface entry of GET_CONFIGURATION_INFO (8 bytes).
struct InterfaceInfo {
  uint8_t interface_number = 0;
  uint8_t alternate_setting = 0;
  uint8_t interface_class = 0;
  uint8_t interface_subclass = 0;
  uint8_t interface_protocol = 0;
  uint8_t pipe_count = 0;
  uint16_t reserved = 0;
};

// One pipe entry of GET_CONFIGURATION_INFO (16 bytes; the endpoint address is byte 10).
struct PipeInfo {
  uint32_t pipe_type = 0;              // bytes 0-3: 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint32_t maximum_transfer_size = 0;  // bytes 4-7
  uint16_t maximum_packet_size = 0;    // bytes 8-9
  uint8_t endpoint_address = 0;        // byte 10
  uint8_t interval = 0;                // byte 11
  uint8_t interface_number = 0;        // byte 12
  uint8_t alternate_setting = 0;       // byte 13
  uint16_t reserved = 0;               // bytes 14-15
};

// GET_CONFIGURATION_INFO output. The counts are the driver's and may exceed the 32 entries.
struct ConfigurationInfo {
  static constexpr uint32_t kSize = kConfigurationInfoSize;
  uint32_t interface_count = 0;
  uint32_t pipe_count = 0;
  InterfaceInfo interfaces[kMaxInterfaceSettings] = {};
  PipeInfo pipes[kMaxPipeEntries] = {};
};

// GET_DRIVER_INFO output.
struct DriverInfo {
  static constexpr uint32_t kSize = kDriverInfoSize;
  uint16_t api_version = 0;
  uint16_t driver_version = 0;
  uint32_t build_number = 0;
  uint32_t flags = 0;
};

// GET_DEVICE_INFO output.
struct DeviceInfo {
  static constexpr uint32_t kSize = kDeviceInfoSize;
  uint32_t flags = 0;
  uint32_t open_count = 0;  // bytes 4-7: handles open on the device, across all processes
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
};

// GET_BANDWIDTH_INFO output.
struct BandwidthInfo {
  static constexpr uint32_t kSize = kBandwidthInfoSize;
  uint32_t total_bandwidth = 0;
  uint32_t consumed_bandwidth = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
};

// A record that crosses the seam on its own, kSize bytes long.
template <typename R>
concept UsbioRecord = std::same_as<decltype(R::kSize), const uint32_t>;

// Writes exactly R::kSize bytes to out.
template <UsbioRecord R>
void encode(const R &record, uint8_t *out);

// Bounded: false (out untouched) when in is null or size is below R::kSize.
template <UsbioRecord R>
bool decode(const uint8_t *in, size_t size, R &out);

// Reads kControlRequestSize bytes from in.
ControlRequest decode_control_request(const uint8_t *in);

}  // namespace vexdaq
