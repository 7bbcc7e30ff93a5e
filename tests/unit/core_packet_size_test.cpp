#include <gtest/gtest.h>

#include "core/stream_control.h"

namespace vexdaq {
namespace {

TEST(PacketSize, LargestWholeFrameCountWithin512Bytes) {
  EXPECT_EQ(usbio_packet_size(2, 16), 512);
  EXPECT_EQ(usbio_packet_size(8, 24), 504);
  EXPECT_EQ(usbio_packet_size(3, 32), 504);
  EXPECT_EQ(usbio_packet_size(16, 24), 480);
  EXPECT_EQ(usbio_packet_size(64, 24), 384);
  EXPECT_EQ(usbio_packet_size(1, 24), 510);
  EXPECT_EQ(usbio_packet_size(64, 32), 512);
}

TEST(PacketSize, NoChannelsOrSubByteSamplesGiveNoPacket) {
  EXPECT_EQ(usbio_packet_size(0, 24), 0);
  EXPECT_EQ(usbio_packet_size(-1, 24), 0);
  EXPECT_EQ(usbio_packet_size(8, 0), 0);
  EXPECT_EQ(usbio_packet_size(8, 7), 0);
  EXPECT_EQ(usbio_packet_size(8, -16), 0);
}

}  // namespace
}  // namespace vexdaq
