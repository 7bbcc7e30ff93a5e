#include "device/usbio_records.h"

#include <cstring>

namespace vexdaq {

void encode(const ControlRequest &r, uint8_t out[kControlRequestSize]) {
  store_le32(out + 0, r.flags);
  store_le32(out + 4, r.type);
  store_le32(out + 8, r.recipient);
  out[12] = r.reserved_bits;
  out[13] = r.request;
  store_le16(out + 14, r.value);
  store_le16(out + 16, r.index);
}

ControlRequest decode_control_request(const uint8_t *in) {
  ControlRequest r;
  r.flags = load_le32(in + 0);
  r.type = load_le32(in + 4);
  r.recipient = load_le32(in + 8);
  r.reserved_bits = in[12];
  r.request = in[13];
  r.value = load_le16(in + 14);
  r.index = load_le16(in + 16);
  return r;
}

bool decode(const uint8_t *in, size_t size, ControlRequest &out) {
  if (in == nullptr || size < kControlRequestSize) return false;
  out = decode_control_request(in);
  return true;
}

void encode(const DescriptorRequest &r, uint8_t out[kDescriptorRequestSize]) {
  store_le32(out + 0, r.recipient);
  out[4] = r.descriptor_type;
  out[5] = r.descriptor_index;
  store_le16(out + 6, r.language_id);
}

bool decode(const uint8_t *in, size_t size, DescriptorRequest &out) {
  if (in == nullptr || size < kDescriptorRequestSize) return false;
  out.recipient = load_le32(in + 0);
  out.descriptor_type = in[4];
  out.descriptor_index = in[5];
  out.language_id = load_le16(in + 6);
  return true;
}

void encode(const ConfigurationRequest &r, uint8_t out[kConfigurationRequestSize]) {
  store_le16(out + 0, r.configuration_index);
  store_le16(out + 2, r.interface_count);
  for (int i = 0; i < kMaxInterfaceSettings; ++i) {
    uint8_t *p = out + 4 + 8 * i;
    store_le16(p + 0, r.settings[i].interface);
    store_le16(p + 2, r.settings[i].alternate_setting);
    store_le32(p + 4, r.settings[i].maximum_transfer_size);
  }
}

bool decode(const uint8_t *in, size_t size, ConfigurationRequest &out) {
  if (in == nullptr || size < kConfigurationRequestSize) return false;
  out.configuration_index = load_le16(in + 0);
  out.interface_count = load_le16(in + 2);
  for (int i = 0; i < kMaxInterfaceSettings; ++i) {
    const uint8_t *p = in + 4 + 8 * i;
    out.settings[i].interface = load_le16(p + 0);
    out.settings[i].alternate_setting = load_le16(p + 2);
    out.settings[i].maximum_transfer_size = load_le32(p + 4);
  }
  return true;
}

void encode(const ConfigurationInfo &r, uint8_t out[kConfigurationInfoSize]) {
  std::memset(out, 0, kConfigurationInfoSize);
  store_le32(out + 0, r.interface_count);
  store_le32(out + 4, r.pipe_count);
  for (int i = 0; i < kMaxInterfaceSettings; ++i) {
    uint8_t *p = out + 8 + 8 * i;
    const InterfaceInfo &f = r.interfaces[i];
    p[0] = f.interface_number;
    p[1] = f.alternate_setting;
    p[2] = f.interface_class;
    p[3] = f.interface_subclass;
    p[4] = f.interface_protocol;
    p[5] = f.pipe_count;
    store_le16(p + 6, f.reserved);
  }
  for (int j = 0; j < kMaxPipeEntries; ++j) {
    uint8_t *p = out + kConfigurationInfoPipeOffset + kPipeEntrySize * j;
    const PipeInfo &e = r.pipes[j];
    store_le32(p + 0, e.pipe_type);
    store_le32(p + 4, e.maximum_transfer_size);
    store_le16(p + 8, e.maximum_packet_size);
    p[kPipeEntryEndpointOffset] = e.endpoint_address;
    p[11] = e.interval;
    p[12] = e.interface_number;
    p[13] = e.alternate_setting;
    store_le16(p + 14, e.reserved);
  }
}

bool decode(const uint8_t *in, size_t size, ConfigurationInfo &out) {
  if (in == nullptr || size < kConfigurationInfoSize) return false;
  out.interface_count = load_le32(in + 0);
  out.pipe_count = load_le32(in + 4);
  for (int i = 0; i < kMaxInterfaceSettings; ++i) {
    const uint8_t *p = in + 8 + 8 * i;
    InterfaceInfo &f = out.interfaces[i];
    f.interface_number = p[0];
    f.alternate_setting = p[1];
    f.interface_class = p[2];
    f.interface_subclass = p[3];
    f.interface_protocol = p[4];
    f.pipe_count = p[5];
    f.reserved = load_le16(p + 6);
  }
  for (int j = 0; j < kMaxPipeEntries; ++j) {
    const uint8_t *p = in + kConfigurationInfoPipeOffset + kPipeEntrySize * j;
    PipeInfo &e = out.pipes[j];
    e.pipe_type = load_le32(p + 0);
    e.maximum_transfer_size = load_le32(p + 4);
    e.maximum_packet_size = load_le16(p + 8);
    e.endpoint_address = p[kPipeEntryEndpointOffset];
    e.interval = p[11];
    e.interface_number = p[12];
    e.alternate_setting = p[13];
    e.reserved = load_le16(p + 14);
  }
  return true;
}

void encode(const DriverInfo &r, uint8_t out[kDriverInfoSize]) {
  store_le16(out + 0, r.api_version);
  store_le16(out + 2, r.driver_version);
  store_le32(out + 4, r.build_number);
  store_le32(out + 8, r.flags);
}

bool decode(const uint8_t *in, size_t size, DriverInfo &out) {
  if (in == nullptr || size < kDriverInfoSize) return false;
  out.api_version = load_le16(in + 0);
  out.driver_version = load_le16(in + 2);
  out.build_number = load_le32(in + 4);
  out.flags = load_le32(in + 8);
  return true;
}

void encode(const DeviceInfo &r, uint8_t out[kDeviceInfoSize]) {
  store_le32(out + 0, r.flags);
  store_le32(out + 4, r.open_count);
  store_le32(out + 8, r.reserved1);
  store_le32(out + 12, r.reserved2);
}

bool decode(const uint8_t *in, size_t size, DeviceInfo &out) {
  if (in == nullptr || size < kDeviceInfoSize) return false;
  out.flags = load_le32(in + 0);
  out.open_count = load_le32(in + 4);
  out.reserved1 = load_le32(in + 8);
  out.reserved2 = load_le32(in + 12);
  return true;
}

void encode(const BandwidthInfo &r, uint8_t out[kBandwidthInfoSize]) {
  store_le32(out + 0, r.total_bandwidth);
  store_le32(out + 4, r.consumed_bandwidth);
  store_le32(out + 8, r.reserved1);
  store_le32(out + 12, r.reserved2);
}

bool decode(const uint8_t *in, size_t size, BandwidthInfo &out) {
  if (in == nullptr || size < kBandwidthInfoSize) return false;
  out.total_bandwidth = load_le32(in + 0);
  out.consumed_bandwidth = load_le32(in + 4);
  out.reserved1 = load_le32(in + 8);
  out.reserved2 = load_le32(in + 12);
  return true;
}

}  // namespace vexdaq
