// Device bring-up against virtual instruments of unusual shapes.
#include <gtest/gtest.h>

#include <string>

#include "behaviour/core_test_support.h"
#include "device/device_init.h"
#include "device/device_state.h"
#include "session/session_state.h"

namespace vexdaq::testing {
namespace {

using DeviceInit = CoreSessionTest;

TEST_F(DeviceInit, ReportsTheDeviceInTheLog) {
  open_with("driver_opens=0;bcd_device=0x0105;product=VX-8 Virtual Instrument");
  const std::string log = read_log();
  EXPECT_TRUE(log_has(" - usbio_device_init (0xff, 0x03)- begins\n"));
  EXPECT_TRUE(log_has("\n         Driver Version : 0x240\n"));
  EXPECT_TRUE(log_has("\n            Device Open : 0x5\n"));
  EXPECT_TRUE(log_has("\n  USB Device Descriptor :\n                 bcdUSB : 0x"));
  EXPECT_TRUE(log_has("\n        bDeviceProtocol : 0x03\n"));
  EXPECT_TRUE(log_has("\n              bcdDevice : 0x0105\n"));
  EXPECT_TRUE(log_has("\n                Product : VX-8 Virtual Instrument\n"));
  EXPECT_TRUE(log_has("\n              NbOfPipes : 0x04\n"));
  EXPECT_TRUE(log_has("\n           PIPE[4] Flag : 0x"));
  EXPECT_TRUE(log_has(" - usbio_device_init - ends\n"));
  EXPECT_EQ(g_device.device_bcd, 0x0105);
  EXPECT_EQ(g_device.driver_version, 0x0240);
  EXPECT_EQ(g_device.last_status.load(), 0u);
  EXPECT_NE(g_device.device_descriptor, nullptr);
  EXPECT_NE(g_device.config_descriptor, nullptr);
}

TEST_F(DeviceInit, SixOpensOfTheDeviceFailWithoutALineOfTheirOwn) {
  open_with("driver_opens=1");
  EXPECT_EQ(g_session.session_token.load(), 0u);
  const std::string log = read_log();
  const size_t opens = log.find(as_logged("            Device Open : 0x6\n"));
  const size_t failed = log.find(as_logged("usbio core starts failed on device init\r\n"));
  ASSERT_NE(opens, std::string::npos);
  ASSERT_NE(failed, std::string::npos);
  EXPECT_EQ(log.find("Total Bandwidth"), std::string::npos);
  EXPECT_EQ(log.find("failed, status"), std::string::npos);
}

TEST_F(DeviceInit, PipeCountIsLimitedToTheFourHandles) {
  open_with("pipes=0");
  EXPECT_NE(g_session.session_token.load(), 0u);
  EXPECT_EQ(g_device.pipe_count, 0);
  EXPECT_EQ(read_log().find("PIPE[1] Flag"), std::string::npos);

  reopen_with("pipes=7");
  EXPECT_NE(g_session.session_token.load(), 0u);
  EXPECT_EQ(g_device.pipe_count, 4);
  EXPECT_TRUE(log_has("              NbOfPipes : 0x07\n"));
  EXPECT_TRUE(log_has("PIPE[4] Flag"));
  EXPECT_EQ(read_log().find("PIPE[5] Flag"), std::string::npos);
}

TEST_F(DeviceInit, ProductNameIsBoundedByTheStringBuffer) {
  open_with("product=");
  EXPECT_STREQ(g_device.product_name, "");

  reopen_with("product=ABCDEFGHIJKLMNOPQRSTUVWX");  // 24: fits exactly
  EXPECT_STREQ(g_device.product_name, "ABCDEFGHIJKLMNOPQRSTUVWX");

  reopen_with("product=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");  // 30: cut to what 50 bytes hold
  EXPECT_STREQ(g_device.product_name, "ABCDEFGHIJKLMNOPQRSTUVWX");
  EXPECT_EQ(g_device.product_name[kProductNameSize - 1], '\0');
}

TEST_F(DeviceInit, RateListsKeepOnlyWhatTheReplyHolds) {
  std::string many = "out_rates=";
  for (int i = 1; i <= 70; ++i) many += (i > 1 ? "," : "") + std::to_string(i * 100);
  open_with(("in_rates=;" + many).c_str());
  EXPECT_NE(g_session.session_token.load(), 0u);
  EXPECT_EQ(g_device.in_rate_count, 0);
  EXPECT_TRUE(log_has(" - In Sample rate  : \r\n"));
  // The 255-byte reply holds 63 rates, whatever count the device claims.
  EXPECT_EQ(g_device.out_rate_count, 63);
  EXPECT_EQ(g_device.out_sample_rates[0], 100);
  EXPECT_EQ(g_device.out_sample_rates[62], 6300);
  EXPECT_EQ(g_device.out_sample_rates[63], 0);
  EXPECT_TRUE(log_has("6200 6300 \r\n"));
}

TEST_F(DeviceInit, ChannelCountsAreLimitedToTheTablesButLoggedAsSent) {
  open_with("in_channels=65535;out_channels=65;in_bits=32;out_bits=16");
  EXPECT_NE(g_session.session_token.load(), 0u);
  EXPECT_EQ(g_device.in_channel_count.load(), 64);
  EXPECT_EQ(g_device.out_channel_count.load(), 64);
  EXPECT_EQ(g_device.in_packet_size.load(), 512);
  EXPECT_EQ(g_device.out_packet_size.load(), 512);
  EXPECT_TRUE(log_has("usbio channel count : 65 out - 65535 in\r\n"));
}

TEST_F(DeviceInit, NarrowSampleWidthsGiveNoPacketInsteadOfDividingByZero) {
  open_with("in_channels=8;out_channels=2;in_bits=0;out_bits=7");
  EXPECT_NE(g_session.session_token.load(), 0u);
  EXPECT_EQ(g_device.in_packet_size.load(), 0);
  EXPECT_EQ(g_device.out_packet_size.load(), 0);
  EXPECT_TRUE(log_has("USB Packet Size : 0 out - 0 in\r\n"));
}

TEST_F(DeviceInit, NoChannelsAtAllLogsNoPacketSize) {
  open_with("in_channels=0;out_channels=0");
  EXPECT_NE(g_session.session_token.load(), 0u);
  EXPECT_EQ(read_log().find("USB Packet Size"), std::string::npos);
}

TEST_F(DeviceInit, AnotherProtocolFailsAfterTheDescriptorDump) {
  const int32_t id = plug();
  ASSERT_EQ(vexdaq_device_list(), 1);  // probed now: the open relies on the table
  ASSERT_EQ(vexdaq_sim_set(id, "protocol=0"), 0);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(g_session.session_token.load(), 0u);
  const std::string log = read_log();
  EXPECT_TRUE(log_has("\n        bDeviceProtocol : 0x00\n"));
  EXPECT_TRUE(log_has("     bNumConfigurations : 0x01\n"));
  EXPECT_EQ(log.find(as_logged("\n                Product : ")), std::string::npos);
  EXPECT_EQ(log.find("failed, status"), std::string::npos);
  EXPECT_TRUE(log_has("usbio core starts failed on device init\r\n"));
}

TEST_F(DeviceInit, UnreadableDeviceDescriptorFailsTheStartUp) {
  const int32_t id = plug();
  ASSERT_EQ(vexdaq_device_list(), 1);
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_request=0x06:0xC0000011"), 0);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(g_session.session_token.load(), 0u);
  EXPECT_TRUE(log_has("Get Device Descriptor failed, status = 0xC0000011.\n"));
}

// Every descriptor reply cut to 18 bytes: the device descriptor and the 9-byte header still read,
// the whole configuration descriptor does not.
TEST_F(DeviceInit, ShortWholeConfigurationDescriptorFailsTheStartUp) {
  const int32_t id = plug();
  ASSERT_EQ(vexdaq_device_list(), 1);
  ASSERT_EQ(vexdaq_sim_fault(id, "short_reply=0x06:18"), 0);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(g_session.session_token.load(), 0u);
  EXPECT_TRUE(log_has("Get Total Config Descriptor failed, status = 0x"));
  EXPECT_FALSE(log_has("Get Config Descriptor failed"));
  EXPECT_FALSE(log_has("SET_CONFIGURATION failed"));
  EXPECT_EQ(g_device.config_descriptor, nullptr);  // released with the failed start-up
}

// The input list reads; the output list (index 0) does not: -3, after the input rate line.
TEST_F(DeviceInit, UnreadableOutputRateListFailsAfterTheInputList) {
  const int32_t id = plug("in_rates=1000,2000");
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_request=0xD0,0,0:0xC0000004"), 0);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(g_session.session_token.load(), 0u);
  const std::string log = read_log();
  const size_t in = log.find("In Sample rate  : 1000 2000 ");
  const size_t failed = log.find("PIPE0_CLASS_IN Request (0xD0) failed, status = 0xC0000004.");
  ASSERT_NE(in, std::string::npos);
  ASSERT_NE(failed, std::string::npos);
  EXPECT_LT(in, failed);
  EXPECT_EQ(log.find("Out Sample rate"), std::string::npos);
  // The device stays open after the failed start-up; the step itself reports which list failed.
  EXPECT_EQ(usbio_controller_init(), ControllerInit::kOutputRatesFailed);
}

TEST_F(DeviceInit, UnreadableRateListFailsTheStartUpAfterTheDevice) {
  const int32_t id = plug();
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_request=0xD0:0xC0000004"), 0);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(g_session.session_token.load(), 0u);
  EXPECT_TRUE(log_has("usbio_device_init - ends\n"));
  EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0xD0) failed, status = 0xC0000004.\n"));
  EXPECT_TRUE(log_has("usbio core starts failed on device init\r\n"));
}

TEST_F(DeviceInit, FailedOrShortCapabilityRepliesKeepThePreviousValues) {
  open_with("in_channels=8;out_channels=2;in_bits=24;out_bits=24");
  vexdaq_device_close();
  vexdaq_sim_reset();

  const int32_t id = plug("in_channels=4;out_channels=4;in_bits=16;out_bits=16");
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_request=0xD3:0xC0000004"), 0);
  ASSERT_EQ(vexdaq_sim_fault(id, "short_reply=0xD5:2"), 0);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_NE(g_session.session_token.load(), 0u);  // the core still comes up
  EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0xD3) failed, status = 0xC0000004.\n"));
  EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0xD5) returned 2 of 4 bytes.\n"));
  EXPECT_EQ(g_device.in_sample_bits.load(), 24);
  EXPECT_EQ(g_device.out_sample_bits.load(), 24);
  EXPECT_EQ(g_device.in_channel_count.load(), 8);
  EXPECT_EQ(g_device.out_channel_count.load(), 2);
}

// Each failing step logs its own line with the driver's status, and the session is unusable.
struct FailingStep {
  const char *fault;
  const char *line;
};

class DeviceInitFailure : public CoreSessionTest,
                          public ::testing::WithParamInterface<FailingStep> {};

TEST_P(DeviceInitFailure, LogsTheStepAndFailsTheStartUp) {
  const int32_t id = plug();
  ASSERT_EQ(vexdaq_sim_fault(id, GetParam().fault), 0) << GetParam().fault;
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(g_session.session_token.load(), 0u);
  EXPECT_TRUE(log_has(GetParam().line)) << GetParam().line;
  EXPECT_TRUE(log_has("usbio core starts failed on device init\r\n"));
  EXPECT_EQ(read_log().find("usbio_device_init - ends"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, DeviceInitFailure,
    ::testing::Values(FailingStep{"fail_ioctl=0x8094206C:0xC0000001",
                                  "GET_DRIVER_INFO failed, status = 0xC0000001.\n"},
                      FailingStep{"fail_ioctl=0x80942068:0xC0000002",
                                  "GET_DEVICE_INFO failed, status = 0xC0000002.\n"},
                      FailingStep{"fail_ioctl=0x80942064:0xC0000003",
                                  "GET_BANDWIDTH_INFO failed, status = 0xC0000003.\n"},
                      // One descriptor fails, the others answer: iProduct (2), then the
                      // configuration header (9 bytes).
                      FailingStep{"fail_request=0x06,0x0302:0xC0000011",
                                  "Get String Descriptor failed, status = 0xC0000011.\n"},
                      FailingStep{"fail_request=0x06,0x0200,0,9:0xC0000012",
                                  "Get Config Descriptor failed, status = 0xC0000012.\n"},
                      FailingStep{"fail_ioctl=0x80942024:0xC0000004",
                                  "SET_CONFIGURATION failed, status = 0xC0000004.\n"},
                      FailingStep{"fail_ioctl=0x80942050:0xC0000005",
                                  "GET_CONFIGURATION_INFO failed, status = 0xC0000005.\n"},
                      // Binding happens on handles not yet bound to a pipe.
                      FailingStep{"fail_ioctl=0x80942078@0:0xC0000006",
                                  "BIND_PIPE (1) failed, status = 0xC0000006.\n"},
                      FailingStep{"fail_ioctl=0x8094208C@2:0xC0000007",
                                  "GET_PIPE_PARAMETERS (2) failed, status = 0xC0000007.\n"}));

}  // namespace
}  // namespace vexdaq::testing
