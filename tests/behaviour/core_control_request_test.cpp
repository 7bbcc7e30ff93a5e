// The control-request helpers, seen from the instrument's side of the bus.
#include <gtest/gtest.h>

#include <string>

#include "behaviour/core_test_support.h"
#include "device/control_request.h"
#include "platform/thread.h"
#include "protocol/requests.h"

namespace vexdaq::testing {
namespace {

using ControlRequests = CoreSessionTest;

TEST_F(ControlRequests, BuildTheSetupPacketOfEachKindAndDirection) {
  const int32_t id = open_with("in_bits=24;out_bits=16");
  trace(id);
  uint8_t widths[4] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(class_in(REQ_SAMPLE_WIDTH, 0, 0, widths, sizeof widths, &returned));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(widths[0], 24);
  EXPECT_EQ(widths[2], 16);
  const uint8_t mode = 0x02;
  ASSERT_TRUE(vendor_out(kRecipientInterface, REQ_GPIO_MODE, 0, 0x0700, &mode, 1));
  const uint8_t rates[8] = {0xE8, 0x03, 0, 0, 0xD0, 0x07, 0, 0};
  ASSERT_TRUE(class_out(REQ_SAMPLE_RATE, 0, 0, rates, sizeof rates));
  uint8_t port = 0;
  ASSERT_TRUE(vendor_in(kRecipientInterface, REQ_DIO_READ, 0, 0x0100, &port, 1));
  EXPECT_EQ(trace(id),
            "A1 D3 0000 0000 0004\n"
            "41 E8 0000 0700 0001 : 02\n"
            "21 D1 0000 0000 0008 : E8 03 00 00 D0 07 00 00\n"
            "C1 E7 0000 0100 0001\n");
}

TEST_F(ControlRequests, FailureLeavesTheDriverStatusInLastError) {
  const int32_t id = open_with();
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_request=0xD5:0xC0000004"), 0);
  uint8_t counts[4] = {1, 2, 3, 4};
  uint32_t returned = 99;
  EXPECT_FALSE(class_in(REQ_CHANNEL_COUNT, 0, 0, counts, sizeof counts, &returned));
  EXPECT_EQ(platform::last_error(), 0xC0000004u);
  EXPECT_EQ(returned, 0u);
  vexdaq_device_close();

  // Without an open device there is no handle to send on.
  EXPECT_FALSE(class_out(REQ_STREAM_STOP, 0, 0, nullptr, 0));
  EXPECT_NE(platform::last_error(), 0u);
}

}  // namespace
}  // namespace vexdaq::testing
