// The driver records byte for byte, and the driver's reading of configuration descriptors.
#include <gtest/gtest.h>

#include <vector>

#include "backend/usb_link/usb_link_file.h"
#include "protocol/little_endian.h"
#include "protocol/usbio_records.h"

namespace vexdaq {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(UsbioRecords, ControlRequestLayout) {
  ControlRequest r;
  r.flags = 0x10000;
  r.type = 2;
  r.recipient = 1;
  r.request = 0x3D;
  r.value = 0x1234;
  r.index = 0x8500;
  uint8_t out[kControlRequestSize];
  encode(r, out);
  EXPECT_EQ(Bytes(out, out + 18), (Bytes{0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
                                         0x00, 0x00, 0x00, 0x3D, 0x34, 0x12, 0x00, 0x85}));
  ControlRequest back = decode_control_request(out);
  EXPECT_EQ(back.flags, r.flags);
  EXPECT_EQ(back.type, r.type);
  EXPECT_EQ(back.recipient, r.recipient);
  EXPECT_EQ(back.request, r.request);
  EXPECT_EQ(back.value, r.value);
  EXPECT_EQ(back.index, r.index);
}

TEST(UsbioRecords, SmallRecordsLayout) {
  DescriptorRequest d;
  d.descriptor_type = 3;
  d.descriptor_index = 2;
  d.language_id = 0x0409;
  uint8_t dout[kDescriptorRequestSize];
  encode(d, dout);
  EXPECT_EQ(Bytes(dout, dout + 8), (Bytes{0, 0, 0, 0, 3, 2, 0x09, 0x04}));

  DriverInfo info{0x0200, 0x0240, 0x01020304, 0};
  uint8_t iout[kDriverInfoSize];
  encode(info, iout);
  EXPECT_EQ(Bytes(iout, iout + 8), (Bytes{0x00, 0x02, 0x40, 0x02, 0x04, 0x03, 0x02, 0x01}));

  DeviceInfo device;
  device.open_count = 5;
  uint8_t vout[kDeviceInfoSize];
  encode(device, vout);
  EXPECT_EQ(get_le32(vout + 4), 5u);

  BandwidthInfo bandwidth{12000, 3000, 0, 0};
  uint8_t bout[kBandwidthInfoSize];
  encode(bandwidth, bout);
  BandwidthInfo bback;
  ASSERT_TRUE(decode(bout, sizeof bout, bback));
  EXPECT_EQ(bback.total_bandwidth, 12000u);
  EXPECT_EQ(bback.consumed_bandwidth, 3000u);
}

TEST(UsbioRecords, ConfigurationRequestLayout) {
  ConfigurationRequest c;
  c.interface_count = 1;
  c.settings[0].maximum_transfer_size = 4096;
  c.settings[31].interface = 0x0102;
  uint8_t out[kConfigurationRequestSize];
  encode(c, out);
  EXPECT_EQ(Bytes(out, out + 12), (Bytes{0, 0, 1, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0}));
  EXPECT_EQ(get_le16(out + 4 + 8 * 31), 0x0102);
  ConfigurationRequest back;
  ASSERT_TRUE(decode(out, sizeof out, back));
  EXPECT_EQ(back.settings[0].maximum_transfer_size, 4096u);
}

TEST(UsbioRecords, ConfigurationInfoPipeEndpointsAtByteTen) {
  ConfigurationInfo info;
  info.interface_count = 1;
  info.pipe_count = 40;  // counts are the driver's, beyond the 32 entries
  info.pipes[0].endpoint_address = 0x02;
  info.pipes[31].endpoint_address = 0x8F;
  uint8_t out[kConfigurationInfoSize];
  encode(info, out);
  EXPECT_EQ(get_le32(out + 4), 40u);
  EXPECT_EQ(out[264 + 10], 0x02);
  EXPECT_EQ(out[264 + 16 * 31 + 10], 0x8F);
  ConfigurationInfo back;
  ASSERT_TRUE(decode(out, sizeof out, back));
  EXPECT_EQ(back.pipe_count, 40u);
  EXPECT_EQ(back.pipes[31].endpoint_address, 0x8F);
}

TEST(UsbioRecords, DecodersRefuseShortBuffers) {
  uint8_t bytes[kConfigurationInfoSize] = {};
  ControlRequest c;
  DescriptorRequest d;
  ConfigurationRequest r;
  ConfigurationInfo i;
  DriverInfo v;
  DeviceInfo e;
  BandwidthInfo b;
  EXPECT_FALSE(decode(bytes, kControlRequestSize - 1, c));
  EXPECT_FALSE(decode(bytes, kDescriptorRequestSize - 1, d));
  EXPECT_FALSE(decode(bytes, kConfigurationRequestSize - 1, r));
  EXPECT_FALSE(decode(bytes, kConfigurationInfoSize - 1, i));
  EXPECT_FALSE(decode(bytes, kDriverInfoSize - 1, v));
  EXPECT_FALSE(decode(bytes, kDeviceInfoSize - 1, e));
  EXPECT_FALSE(decode(bytes, kBandwidthInfoSize - 1, b));
  EXPECT_FALSE(decode(nullptr, 100, c));
}

TEST(UsbLinkBackend, RequestTypeFromTheControlRecord) {
  auto type = [](uint32_t kind, uint32_t recipient, bool in) {
    ControlRequest r;
    r.type = kind;
    r.recipient = recipient;
    uint8_t t = 0;
    EXPECT_TRUE(control_request_type(r, in, &t));
    return t;
  };
  EXPECT_EQ(type(1, 1, false), 0x21);
  EXPECT_EQ(type(1, 1, true), 0xA1);
  EXPECT_EQ(type(2, 1, false), 0x41);
  EXPECT_EQ(type(2, 1, true), 0xC1);
  EXPECT_EQ(type(2, 0, false), 0x40);
  EXPECT_EQ(type(2, 0, true), 0xC0);
  ControlRequest bad;
  bad.recipient = 4;
  uint8_t t;
  EXPECT_FALSE(control_request_type(bad, true, &t));
}

TEST(UsbLinkBackend, ConfigurationDescriptorIsReadWithinItsBounds) {
  // Configuration, interface with two endpoints, then a descriptor claiming 200 bytes.
  Bytes d = {9, 2, 0,    0, 1, 1, 0, 0x80, 50, 9,    4, 0, 0, 2, 0xFF, 0, 0,   0,
             7, 5, 0x02, 2, 0, 2, 0, 7,    5,  0x86, 2, 0, 2, 0, 200,  5, 0x84};
  d[2] = static_cast<uint8_t>(d.size());
  ConfigurationInfo info;
  uint8_t value = 0;
  ASSERT_TRUE(parse_configuration(d, info, &value));
  EXPECT_EQ(value, 1);
  EXPECT_EQ(info.interface_count, 1u);
  EXPECT_EQ(info.pipe_count, 2u);
  EXPECT_EQ(info.pipes[1].endpoint_address, 0x86);

  // wTotalLength beyond the bytes, and a zero bLength, stop the walk instead of looping.
  Bytes looping = {9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50, 0, 4, 0, 0};
  ASSERT_TRUE(parse_configuration(looping, info, &value));
  EXPECT_EQ(info.interface_count, 0u);
  EXPECT_FALSE(parse_configuration(Bytes{9, 2, 9}, info, &value));
}

}  // namespace
}  // namespace vexdaq
