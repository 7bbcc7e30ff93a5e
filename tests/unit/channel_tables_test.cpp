#include "stream/channel_tables.h"

#include <gtest/gtest.h>

#include "session/session_state.h"
#include "stream/stream_state.h"
#include "stream_fixture.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq {
namespace {

using testing::count_of;
using testing::StreamSession;

// The first `count` slots of a table hold a disabled FIFO of the capacity and width given, each
// numbered and marked with its direction.
void expect_new_fifos(const ChannelSlot *table, int count, int32_t capacity, int32_t item_size,
                      int direction) {
  for (int c = 0; c < count; ++c) {
    const ChannelSlot &slot = table[c];
    ASSERT_NE(slot.fifo, nullptr) << c;
    EXPECT_EQ(slot.fifo->capacity, capacity) << c;
    EXPECT_EQ(slot.fifo->item_size, item_size) << c;
    EXPECT_EQ(slot.enabled, 0) << c;
    EXPECT_EQ(slot.channel, c);
    EXPECT_EQ(slot.direction, direction) << c;
  }
}

class ChannelTables : public StreamSession {};

TEST_F(ChannelTables, CreateGivesEveryUsedSlotAnEmptyDisabledFifoOfItsWidth) {
  device(4, 24, 8, 16);
  g_stream.in_channels[3].enabled = 1;  // enabled before: creating disables again
  ASSERT_EQ(vexdaq_create_buffers(1000, 2000), 0);
  ASSERT_NO_FATAL_FAILURE(expect_new_fifos(g_stream.out_channels, 4, 1000, 3, 0));
  ASSERT_NO_FATAL_FAILURE(expect_new_fifos(g_stream.in_channels, 8, 2000, 2, 1));
  EXPECT_EQ(g_stream.out_channels[4].fifo, nullptr);
  EXPECT_EQ(g_stream.in_channels[8].fifo, nullptr);
  const std::string log = testing::read_log();
  EXPECT_NE(log.find("vexdaq_create_buffers samples (1000, 2000)\r\r\n"), std::string::npos);
  EXPECT_EQ(count_of(log, "<fifo_create> fifo_handle (0x"), 12);
}

TEST_F(ChannelTables, CreateAgainReplacesTheEarlierFifosWithoutLeakingThem) {
  device(2, 16, 2, 16);
  ASSERT_EQ(vexdaq_create_buffers(10, 10), 0);
  const fifo_handle first = g_stream.out_channels[0].fifo;
  ASSERT_EQ(vexdaq_create_buffers(20, 30), 0);
  EXPECT_EQ(g_stream.out_channels[0].fifo->capacity, 20);
  EXPECT_EQ(g_stream.in_channels[1].fifo->capacity, 30);
  const std::string log = testing::read_log();
  EXPECT_EQ(count_of(log, "<fifo_delete> fifo_handle (0x"), 4);
  (void)first;  // deleted: LeakSanitizer would report it otherwise
}

TEST_F(ChannelTables, CreateWhileStreamingChangesNothing) {
  device(2, 16, 2, 16);
  ASSERT_EQ(vexdaq_create_buffers(10, 10), 0);
  ASSERT_EQ(vexdaq_set_output_channel(0x3), 0);
  const fifo_handle out0 = g_stream.out_channels[0].fifo;
  set_active(true);
  EXPECT_EQ(vexdaq_create_buffers(99, 99), 0);
  EXPECT_EQ(g_stream.out_channels[0].fifo, out0);
  EXPECT_EQ(g_stream.out_channels[0].fifo->capacity, 10);
  EXPECT_EQ(g_stream.out_channels[1].enabled, 1);
}

TEST_F(ChannelTables, NegativeCountRollsBackEveryFifoTheCallMade) {
  device(3, 16, 2, 24);
  EXPECT_EQ(vexdaq_create_buffers(-5, 100), -1);
  for (int c = 0; c < kMaxChannels; ++c) {
    EXPECT_EQ(g_stream.out_channels[c].fifo, nullptr);
    EXPECT_EQ(g_stream.in_channels[c].fifo, nullptr);
  }
  const std::string log = testing::read_log();
  EXPECT_EQ(count_of(log, "<fifo_create> fifo_handle (0x"), 2);
  EXPECT_EQ(count_of(log, "<fifo_delete> fifo_handle (0x"), 2);
}

TEST_F(ChannelTables, CreateRefusesWithoutSessionAfterCoreFailureAndForZeroWidth) {
  device(2, 16, 2, 0);
  EXPECT_EQ(vexdaq_create_buffers(10, 10), -2);
  device(2, 16, 2, 16);
  set_core_failed(true);
  EXPECT_EQ(vexdaq_create_buffers(10, 10), -1);
  set_core_failed(false);
  g_session.session_token.store(0);
  EXPECT_EQ(vexdaq_create_buffers(10, 10), -1);
  EXPECT_EQ(vexdaq_set_input_channel(1), -1);
  EXPECT_EQ(vexdaq_set_output_channel(1), -1);
  EXPECT_EQ(vexdaq_dispose_buffers(), -1);
  EXPECT_EQ(g_stream.out_channels[0].fifo, nullptr);
}

TEST_F(ChannelTables, MaskBitsAtOrAboveTheChannelCountAreIgnored) {
  device(0, 16, 8, 16);
  ASSERT_EQ(vexdaq_create_buffers(10, 10), 0);
  ASSERT_EQ(vexdaq_set_input_channel((uint64_t{1} << 40) | (uint64_t{1} << 3)), 0);
  for (int c = 0; c < kMaxChannels; ++c) {
    EXPECT_EQ(g_stream.in_channels[c].enabled, c == 3 ? 1 : 0) << c;
  }
  EXPECT_NE(testing::read_log().find("vexdaq_set_input_channel 0x0000010000000008\r\r\n"),
            std::string::npos);
}

TEST_F(ChannelTables, SettingAMaskEmptiesEveryUsedFifoEvenUnchanged) {
  device(2, 16, 2, 16);
  ASSERT_EQ(vexdaq_create_buffers(10, 10), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x1), 0);
  const uint16_t v = 7;
  fifo_write_one(g_stream.in_channels[0].fifo, &v);
  fifo_write_one(g_stream.in_channels[1].fifo, &v);
  ASSERT_EQ(vexdaq_set_input_channel(0x1), 0);
  EXPECT_EQ(stored(g_stream.in_channels[0].fifo), 0);
  EXPECT_EQ(stored(g_stream.in_channels[1].fifo), 0);
  EXPECT_EQ(g_stream.in_channels[0].enabled, 1);
}

TEST_F(ChannelTables, CountsAboveTheTableAndNegativeCountsStayInsideIt) {
  device(100, 16, -4, 16);
  ASSERT_EQ(vexdaq_create_buffers(4, 4), 0);
  EXPECT_NE(g_stream.out_channels[63].fifo, nullptr);
  EXPECT_EQ(g_stream.in_channels[0].fifo, nullptr);
  ASSERT_EQ(vexdaq_set_output_channel(~uint64_t{0}), 0);
  EXPECT_EQ(g_stream.out_channels[63].enabled, 1);
  EXPECT_EQ(count_of(testing::read_log(), "<fifo_create>"), 64);
}

}  // namespace
}  // namespace vexdaq
