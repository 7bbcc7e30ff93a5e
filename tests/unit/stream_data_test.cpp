#include "stream/stream_data.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "device/device_state.h"
#include "session/session_state.h"
#include "stream/packing.h"
#include "stream/stream_state.h"
#include "stream/stream_waiters.h"
#include "stream_fixture.h"
#include "support/packet_packers.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"

namespace vexdaq {
namespace {

using testing::StreamSession;

class StreamData : public StreamSession {
 protected:
  // Waits until `n` data calls are registered as waiting, so that what the test changes next
  // has to wake them. Yields rather than sleeps; bounded by the test's time-out.
  static void until_waiting(int n) {
    while (stream_waiter_count() < n) std::this_thread::yield();
  }

  // Plays the transfer thread: changes a FIFO under its lock, then wakes the waiters.
  template <typename Change>
  static void as_transfer_thread(bool input, Change change) {
    {
      platform::MutexLock hold(input ? g_stream.in_lock : g_stream.out_lock);
      change();
    }
    wake_stream_waiters();
  }
};

TEST_F(StreamData, SendMovesWholeSamplesOnlyAndOnlyWhenAllFit) {
  device(2, 16, 0, 0);
  fifo_handle f = give_fifo(false, 0, 1000);
  set_active(true);
  std::vector<uint8_t> buffer(1001, 0x5A);
  // 400 samples stored: 600 free, room for the 500 whole samples of 1001 bytes.
  std::vector<uint8_t> fill(800, 0);
  ASSERT_EQ(fifo_write(f, fill.data(), 400), 400);
  EXPECT_EQ(vexdaq_send_data(0, buffer.data(), 1001, 0), 1000);
  EXPECT_EQ(stored(f), 900);
  EXPECT_EQ(vexdaq_send_data(0, buffer.data(), 1001, 0), 0) << "100 free: nothing moved";
  EXPECT_EQ(stored(f), 900);
  EXPECT_EQ(vexdaq_send_data(0, buffer.data(), 1, 0), 0) << "less than one sample";
}

TEST_F(StreamData, SingleChannelCallsNeedAnEnabledChannelOfAnActiveDirection) {
  device(2, 16, 2, 16);
  fifo_handle in = give_fifo(true, 1, 100, /*enabled=*/false);
  const uint16_t v = 1;
  fifo_write_one(in, &v);
  uint8_t buffer[2] = {};
  set_active(true);
  EXPECT_EQ(vexdaq_recv_data(1, buffer, 2, 0), 0) << "disabled, though it holds a sample";
  g_stream.in_channels[1].enabled = 1;
  set_active(false);
  EXPECT_EQ(vexdaq_recv_data(1, buffer, 2, 0), 0) << "not streaming";
  set_active(true);
  EXPECT_EQ(vexdaq_recv_data(1, buffer, 2, 0), 2);
  EXPECT_EQ(vexdaq_send_data(1, buffer, 2, 0), 0) << "output channel 1 never enabled";
}

TEST_F(StreamData, BadArgumentsNeverReachATable) {
  device(2, 16, 2, 16);
  give_fifo(true, 0, 100);
  set_active(true);
  uint8_t buffer[8] = {};
  EXPECT_EQ(vexdaq_recv_data(-1, buffer, 2, 1), 0);
  EXPECT_EQ(vexdaq_recv_data(64, buffer, 2, 1), 0);
  EXPECT_EQ(vexdaq_recv_data(1 << 30, buffer, 2, 0), 0);
  EXPECT_EQ(vexdaq_recv_data(0, buffer, -2, 1), -1);
  EXPECT_EQ(vexdaq_send_all_data(0, buffer, -8, 0), -1);
  EXPECT_EQ(vexdaq_recv_data(0, nullptr, 2, 0), -1);
  EXPECT_EQ(vexdaq_recv_all_data(0, nullptr, 2, 0), -1);
  g_session.session_token.store(0);
  EXPECT_EQ(vexdaq_recv_data(0, buffer, 2, 0), -1);
  EXPECT_EQ(vexdaq_send_all_data(0, buffer, 2, 0), -1);
}

TEST_F(StreamData, DirectionWithoutChannelsGivesBackTheByteCount) {
  device(0, 16, 0, 16);
  uint8_t buffer[8] = {};
  EXPECT_EQ(vexdaq_recv_data(0, buffer, 7, 1), 7);
  EXPECT_EQ(vexdaq_send_data(0, buffer, 7, 0), 7);
  EXPECT_EQ(vexdaq_send_all_data(0, buffer, 5, 1), 5);
  EXPECT_EQ(vexdaq_recv_all_data(0, buffer, 3, 0), 3);
}

TEST_F(StreamData, RecvAllFillsTheBlocksOfEnabledChannelsOnly) {
  device(0, 0, 4, 24);
  for (int c : {1, 3}) {
    fifo_handle f = give_fifo(true, c, 200);
    for (uint32_t i = 0; i < 150; ++i) {
      const uint32_t v = (static_cast<uint32_t>(c) << 16) | i;
      fifo_write_one(f, &v);
    }
  }
  give_fifo(true, 0, 200, false);
  std::vector<uint8_t> buffer(1200, 0xCC);
  EXPECT_EQ(vexdaq_recv_all_data(0, buffer.data(), 300, 0), 300);
  for (size_t i = 0; i < 300; ++i) ASSERT_EQ(buffer[i], 0xCC) << i;
  for (size_t i = 600; i < 900; ++i) ASSERT_EQ(buffer[i], 0xCC) << i;
  for (int c : {1, 3}) {
    for (uint32_t i = 0; i < 100; ++i) {
      const uint8_t *p = &buffer[static_cast<size_t>(c) * 300 + i * 3];
      ASSERT_EQ(p[0] | (p[1] << 8) | (p[2] << 16), static_cast<int>((c << 16) | i));
    }
    EXPECT_EQ(stored(g_stream.in_channels[c].fifo), 50);
  }
  EXPECT_EQ(vexdaq_recv_all_data(0, buffer.data(), 300, 0), 0) << "only 50 left";
}

TEST_F(StreamData, SendAllStoresTheSameBlockEverywhereOrNowhereEvenBeforeStreaming) {
  device(3, 16, 0, 0);
  fifo_handle a = give_fifo(false, 0, 100);
  fifo_handle b = give_fifo(false, 2, 40);
  std::vector<uint8_t> block(100);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(vexdaq_send_data(0, block.data(), 100, 0), 0) << "inactive";
  EXPECT_EQ(vexdaq_send_all_data(0, block.data(), 60, 0), 60);
  EXPECT_EQ(stored(a), 30);
  EXPECT_EQ(stored(b), 30);
  EXPECT_EQ(vexdaq_send_all_data(0, block.data(), 40, 0), 0) << "channel 2 has room for 10";
  EXPECT_EQ(stored(a), 30);
  EXPECT_EQ(stored(b), 30);
  uint8_t back[60];
  ASSERT_EQ(fifo_read(b, back, 30), 30);
  EXPECT_EQ(0, std::memcmp(back, block.data(), 60));
  g_stream.out_channels[0].enabled = 0;
  g_stream.out_channels[2].enabled = 0;
  EXPECT_EQ(vexdaq_send_all_data(0, block.data(), 2, 1), 0) << "no channel enabled";
}

TEST_F(StreamData, ChannelBlocksGiveEachEnabledChannelItsOwnBlockOrNoneAny) {
  device(3, 16, 0, 0);
  fifo_handle a = give_fifo(false, 0, 100);
  give_fifo(false, 1, 100, /*enabled=*/false);
  fifo_handle c = give_fifo(false, 2, 40);
  std::vector<uint8_t> blocks(3 * 60);
  for (size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(vexdaq_send_channel_blocks(blocks.data(), 60, 0), 60);
  EXPECT_EQ(stored(g_stream.out_channels[1].fifo), 0) << "disabled";
  uint8_t back[60];
  ASSERT_EQ(fifo_read(c, back, 30), 30);
  EXPECT_EQ(0, std::memcmp(back, &blocks[120], 60)) << "channel 2 takes the third block";
  ASSERT_EQ(fifo_read(a, back, 30), 30);
  EXPECT_EQ(0, std::memcmp(back, &blocks[0], 60));
  ASSERT_EQ(fifo_write(c, blocks.data(), 35), 35);
  EXPECT_EQ(vexdaq_send_channel_blocks(blocks.data(), 20, 0), 0) << "channel 2 has room for 5";
  EXPECT_EQ(stored(a), 0) << "nothing moved anywhere";
  EXPECT_EQ(vexdaq_send_channel_blocks(nullptr, 20, 0), -1);
}

TEST_F(StreamData, BlockingSendWaitsForRoomWithoutSpinning) {
  device(1, 16, 0, 0);
  fifo_handle f = give_fifo(false, 0, 600);
  set_active(true);
  std::vector<uint8_t> fill(400, 0);
  ASSERT_EQ(fifo_write(f, fill.data(), 200), 200);  // 400 free of the 500 wanted
  std::vector<uint8_t> buffer(1001, 0x42);
  auto call =
      std::async(std::launch::async, [&] { return vexdaq_send_data(0, buffer.data(), 1001, 1); });
  until_waiting(1);
  as_transfer_thread(false, [&] {
    uint8_t sink[200];
    fifo_read(f, sink, 100);
  });
  EXPECT_EQ(call.get(), 1000);
  EXPECT_EQ(stored(f), 600);
}

TEST_F(StreamData, BlockingReceiveIsWokenByTheUnpackerOnceItsSamplesAreIn) {
  device(0, 0, 2, 16);
  fifo_handle f = give_fifo(true, 1, 1000);
  set_active(true);
  std::vector<uint8_t> buffer(2 * 300);
  auto call =
      std::async(std::launch::async, [&] { return vexdaq_recv_data(1, buffer.data(), 600, 1); });
  until_waiting(1);
  uint8_t packet[512];
  for (int i = 0; i < 512; ++i) packet[i] = static_cast<uint8_t>(i);
  rx_unpack16(packet, 512);  // 128 frames: not yet
  rx_unpack16(packet, 512);
  rx_unpack16(packet, 512);  // 384: enough
  EXPECT_EQ(call.get(), 600);
  EXPECT_EQ(stored(f), 84);
  EXPECT_EQ(buffer[0], packet[2]);
}

TEST_F(StreamData, BlockingReceiveEndsWithZeroWhenStreamingStops) {
  device(0, 0, 2, 32);
  give_fifo(true, 0, 100);
  set_active(true);
  uint8_t buffer[40];
  auto call = std::async(std::launch::async, [&] { return vexdaq_recv_data(0, buffer, 40, 1); });
  until_waiting(1);
  as_transfer_thread(true, [] { g_stream.in_active.store(0); });
  EXPECT_EQ(call.get(), 0);
}

TEST_F(StreamData, BlockingReceiveFailsWithItsLineWhenATransferFails) {
  device(0, 0, 2, 32);
  give_fifo(true, 0, 100);
  set_active(true);
  uint8_t buffer[40];
  auto one = std::async(std::launch::async, [&] { return vexdaq_recv_data(0, buffer, 40, 1); });
  auto all = std::async(std::launch::async, [&] { return vexdaq_recv_all_data(0, buffer, 20, 1); });
  until_waiting(2);
  set_core_failed(true);
  EXPECT_EQ(one.get(), -1);
  EXPECT_EQ(all.get(), -1);
  const std::string log = testing::read_log();
  EXPECT_NE(log.find("usbio_core_recv_data failed 1 1\r\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("usbio_core_recv_all_data failed 1\r\r\n"), std::string::npos) << log;
}

TEST_F(StreamData, BlockingRequestsThatCanNeverBeMetReturnAtOnce) {
  device(2, 16, 2, 16);
  give_fifo(true, 0, 10);
  give_fifo(false, 0, 10);
  g_stream.in_channels[1].enabled = 1;  // enabled, no FIFO
  set_active(true);
  uint8_t buffer[64] = {};
  EXPECT_EQ(vexdaq_recv_data(0, buffer, 22, 1), 0) << "11 samples, capacity 10";
  EXPECT_EQ(vexdaq_send_data(0, buffer, 22, 1), 0);
  EXPECT_EQ(vexdaq_recv_data(1, buffer, 2, 1), 0) << "no FIFO";
  EXPECT_EQ(vexdaq_recv_all_data(0, buffer, 2, 1), 0) << "channel 1 has no FIFO";
  EXPECT_EQ(stream_waiter_count(), 0);
}

TEST_F(StreamData, FifoOfAnotherWidthIsNeverUsed) {
  device(0, 0, 1, 32);
  give_fifo(true, 0, 10);
  const uint32_t v = 0x01020304;
  fifo_write_one(g_stream.in_channels[0].fifo, &v);
  set_active(true);
  g_device.in_sample_bits.store(16);  // the device now answers 16 bits
  uint8_t buffer[2] = {};
  EXPECT_EQ(vexdaq_recv_data(0, buffer, 2, 0), 0);
  EXPECT_EQ(vexdaq_recv_all_data(0, buffer, 2, 0), 0);
}

TEST_F(StreamData, CoreFailureFailsEveryCallWithItsLine) {
  device(2, 16, 2, 16);
  give_fifo(false, 0, 10);
  set_core_failed(true);
  uint8_t buffer[4] = {};
  EXPECT_EQ(vexdaq_send_data(0, buffer, 4, 0), -1);
  EXPECT_EQ(vexdaq_send_all_data(0, buffer, 4, 0), -1);
  const std::string log = testing::read_log();
  EXPECT_NE(log.find("usbio_core_send_data failed 1 0\r\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("usbio_core_send_all_data failed 1\r\r\n"), std::string::npos) << log;
}

TEST_F(StreamData, LossCountersReadAndResetUnderTheLock) {
  device(1, 16, 2, 16);
  g_in_loss.channels[1].overwritten = 5;
  g_in_loss.channels[0].moved = 7;
  g_in_loss.channels[1].moved = 8;
  g_in_loss.transfer_failures = 2;
  vexdaq_loss_counters got{};
  ASSERT_EQ(vexdaq_get_loss_counters(1, 1, &got), 0);
  EXPECT_EQ(got.overwritten, 5u);
  ASSERT_EQ(vexdaq_get_loss_counters(1, VEXDAQ_ALL_CHANNELS, &got), 0);
  EXPECT_EQ(got.moved, 15u);
  EXPECT_EQ(got.transfer_failures, 2u);
  EXPECT_EQ(vexdaq_get_loss_counters(1, 64, &got), -2);
  EXPECT_EQ(vexdaq_get_loss_counters(1, -2, &got), -2);
  EXPECT_EQ(vexdaq_get_loss_counters(0, 0, nullptr), -1);
  ASSERT_EQ(vexdaq_reset_loss_counters(), 0);
  ASSERT_EQ(vexdaq_get_loss_counters(1, VEXDAQ_ALL_CHANNELS, &got), 0);
  EXPECT_EQ(got.moved, 0u);
  EXPECT_EQ(got.transfer_failures, 0u);
  g_session.session_token.store(0);
  EXPECT_EQ(vexdaq_get_loss_counters(1, 0, &got), -1);
  EXPECT_EQ(vexdaq_reset_loss_counters(), -1);
}

}  // namespace
}  // namespace vexdaq
