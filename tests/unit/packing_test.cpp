#include "stream/packing.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "device/device_state.h"
#include "stream/stream_state.h"
#include "stream_fixture.h"
#include "support/packet_packers.h"

namespace vexdaq {
namespace {

using testing::count_of;
using testing::StreamSession;

class Packing : public StreamSession {};

uint32_t le(const uint8_t *p, int size) {
  uint32_t v = 0;
  for (int i = 0; i < size; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

void write_items(fifo_handle f, int first, int count) {
  for (int i = 0; i < count; ++i) {
    const uint32_t v = static_cast<uint32_t>(first + i);
    fifo_write_one(f, &v);  // little-endian host: the low item_size bytes
  }
}

TEST_F(Packing, ThreeSixteenBitChannelsInterleaveFrameByFrame) {
  device(3, 16, 0, 0);
  std::array<fifo_handle, 3> fifos{};
  for (int c = 0; c < 3; ++c) {
    fifos[c] = give_fifo(false, c, 100);
    write_items(fifos[c], c * 1000, 85);
  }
  std::array<uint8_t, 540> packet{};
  tx_pack16(packet.data(), 510);
  for (int j = 0; j < 85; ++j) {
    for (int c = 0; c < 3; ++c) {
      ASSERT_EQ(le(&packet[static_cast<size_t>((j * 3 + c) * 2)], 2),
                static_cast<uint32_t>(c * 1000 + j))
          << "frame " << j << " channel " << c;
    }
  }
  for (fifo_handle f : fifos) EXPECT_EQ(stored(f), 0);
  EXPECT_EQ(g_out_loss.channels[1].moved, 85u);
  EXPECT_EQ(g_out_loss.channels[1].zero_filled, 0u);
}

TEST_F(Packing, DisabledChannelKeepsItsPlaceWithZeroOnTheWayOutAndIsSkippedOnTheWayIn) {
  device(3, 16, 3, 16);
  fifo_handle out1 = nullptr;
  for (int c = 0; c < 3; ++c) {
    fifo_handle f = give_fifo(false, c, 100, c != 1);
    write_items(f, 0x100 + c, 85);
    if (c == 1) out1 = f;
  }
  std::array<uint8_t, 540> packet{};
  tx_pack16(packet.data(), 510);
  for (int j = 0; j < 85; ++j) {
    EXPECT_EQ(le(&packet[static_cast<size_t>((j * 3 + 1) * 2)], 2), 0u);
    EXPECT_NE(le(&packet[static_cast<size_t>((j * 3 + 2) * 2)], 2), 0u);
  }
  EXPECT_EQ(stored(out1), 85) << "a disabled channel's FIFO is not drained";

  fifo_handle in1 = give_fifo(true, 1, 100, false);
  fifo_handle in2 = give_fifo(true, 2, 100, true);
  std::array<uint8_t, 540> rx{};
  for (size_t i = 0; i < 510; ++i) rx[i] = static_cast<uint8_t>(i);
  rx_unpack16(rx.data(), 510);
  EXPECT_EQ(stored(in1), 0);
  ASSERT_EQ(stored(in2), 85);
  uint16_t first = 0;
  fifo_read_one(in2, &first);
  EXPECT_EQ(first, le(&rx[4], 2));
}

TEST_F(Packing, TwentyFourBitSamplesTravelAsThreePackedBytesBothWays) {
  device(8, 24, 8, 24);
  const int c = 5;
  fifo_handle out = give_fifo(false, c, 50);
  const uint8_t item[3] = {0x56, 0x34, 0x12};
  for (int j = 0; j < 21; ++j) fifo_write_one(out, item);
  std::array<uint8_t, 540> packet{};
  packet[504] = 0xEE;  // beyond the packet: must stay
  tx_pack24(packet.data(), 504);
  for (int j = 0; j < 21; ++j) {
    const size_t at = static_cast<size_t>(3 * (j * 8 + c));
    ASSERT_EQ(packet[at], 0x56);
    ASSERT_EQ(packet[at + 1], 0x34);
    ASSERT_EQ(packet[at + 2], 0x12);
  }
  EXPECT_EQ(packet[504], 0xEE);

  fifo_handle in = give_fifo(true, c, 50);
  rx_unpack24(packet.data(), 504);
  ASSERT_EQ(stored(in), 21);
  uint8_t got[4] = {0, 0, 0, 0xAA};
  fifo_read_one(in, got);
  EXPECT_EQ(got[0], 0x56);
  EXPECT_EQ(got[1], 0x34);
  EXPECT_EQ(got[2], 0x12);
  EXPECT_EQ(got[3], 0xAA) << "one item is three bytes";
}

TEST_F(Packing, FifoShortOfAPacketSendsWhatItHasThenZeroAndCountsTheGap) {
  device(8, 24, 0, 0);
  fifo_handle f = give_fifo(false, 2, 64);
  write_items(f, 1, 10);
  std::array<uint8_t, 540> packet{};
  tx_pack24(packet.data(), 504);
  for (int j = 0; j < 21; ++j) {
    const uint32_t want = j < 10 ? static_cast<uint32_t>(1 + j) : 0u;
    EXPECT_EQ(le(&packet[static_cast<size_t>(3 * (j * 8 + 2))], 3), want) << "frame " << j;
  }
  EXPECT_EQ(stored(f), 0);
  EXPECT_EQ(g_out_loss.channels[2].moved, 10u);
  EXPECT_EQ(g_out_loss.channels[2].zero_filled, 11u);
}

TEST_F(Packing, NoPackerWithoutChannelsOrForWidthsOtherThan16_24_32) {
  EXPECT_EQ(select_tx_packer(0, 16), nullptr);
  EXPECT_EQ(select_tx_packer(-3, 16), nullptr);
  EXPECT_EQ(select_rx_unpacker(0, 24), nullptr);
  for (int bits : {0, 8, 12, 40}) {
    EXPECT_EQ(select_tx_packer(2, bits), nullptr) << bits;
    EXPECT_EQ(select_rx_unpacker(2, bits), nullptr) << bits;
  }
  EXPECT_EQ(select_tx_packer(2, 16), &tx_pack16);
  EXPECT_EQ(select_tx_packer(2, 24), &tx_pack24);
  EXPECT_EQ(select_rx_unpacker(2, 32), &rx_unpack32);

  // And a packer that runs on a device with no output channels touches nothing.
  device(0, 16, 0, 0);
  std::array<uint8_t, 540> packet{};
  packet.fill(0x77);
  tx_pack16(packet.data(), 512);
  for (uint8_t b : packet) ASSERT_EQ(b, 0x77);
}

TEST_F(Packing, ChannelCountAboveTheTableIsLimitedTo64) {
  device(200, 16, 200, 16);
  fifo_handle last = give_fifo(true, 63, 10);
  std::array<uint8_t, 540> packet{};
  for (int i = 0; i < 128; ++i) packet[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  rx_unpack16(packet.data(), 512);  // 4 frames of 64 channels
  ASSERT_EQ(stored(last), 4);
  uint16_t v = 0;
  fifo_read_one(last, &v);
  EXPECT_EQ(v, le(&packet[126], 2));
}

TEST_F(Packing, FullInputFifoKeepsTheNewestSamplesAndCountsEachOverwrittenOnce) {
  device(0, 0, 1, 16);
  fifo_handle f = give_fifo(true, 0, 4);
  std::array<uint8_t, 540> packet{};
  for (int j = 0; j < 10; ++j) packet[static_cast<size_t>(2 * j)] = static_cast<uint8_t>(j + 1);
  rx_unpack16(packet.data(), 20);
  ASSERT_EQ(stored(f), 4);
  EXPECT_EQ(f->overrun_count, 6);
  EXPECT_EQ(g_in_loss.channels[0].overwritten, 6u);
  EXPECT_EQ(g_in_loss.channels[0].moved, 10u);
  for (int want = 7; want <= 10; ++want) {
    uint16_t v = 0;
    fifo_read_one(f, &v);
    EXPECT_EQ(v, want);
  }
  rx_unpack16(packet.data(), 4);  // two more into a ring with room for four: nothing lost
  EXPECT_EQ(g_in_loss.channels[0].overwritten, 6u);
}

TEST_F(Packing, TrailingPartialFrameIsIgnored) {
  device(0, 0, 2, 32);
  fifo_handle f = give_fifo(true, 1, 16);
  std::array<uint8_t, 540> packet{};
  rx_unpack32(packet.data(), 8 * 3 + 5);
  EXPECT_EQ(stored(f), 3);
}

TEST_F(Packing, EnabledChannelWithoutFifoIsZeroOutDroppedInAndLoggedOnce) {
  device(2, 16, 2, 16);
  g_stream.out_channels[1].enabled = 1;
  g_stream.in_channels[0].enabled = 1;
  std::array<uint8_t, 540> packet{};
  packet.fill(0);
  for (int i = 0; i < 3; ++i) tx_pack16(packet.data(), 512);
  for (uint8_t b : packet) ASSERT_EQ(b, 0);
  packet.fill(0x11);
  for (int i = 0; i < 3; ++i) rx_unpack16(packet.data(), 512);
  EXPECT_EQ(g_out_loss.channels[1].zero_filled, 3u * 128u);
  EXPECT_EQ(g_in_loss.channels[0].dropped, 3u * 128u);
  const std::string log = testing::read_log();
  EXPECT_EQ(count_of(log, "<fifo_read_one> fifo_handle (0x00000000"), 1) << log;
  EXPECT_EQ(count_of(log, "<fifo_write_one> fifo_handle (0x00000000"), 1) << log;

  {
    platform::MutexLock hold(g_stream.in_lock);
    forget_missing_fifo_warnings(true);
  }
  rx_unpack16(packet.data(), 512);
  EXPECT_EQ(count_of(testing::read_log(), "<fifo_write_one> fifo_handle (0x00000000"), 2);
}

// The block moves must leave every FIFO exactly as one fifo_read_one or fifo_write_one per
// sample would: same bytes, indices, fill and overrun figures.
struct Reference {
  static void pack(fifo_handle f, uint8_t *packet, int size, int n, int c, int frames) {
    for (int j = 0; j < frames; ++j) {
      uint8_t sample[4] = {0, 0, 0, 0};
      fifo_read_one(f, sample);
      std::memcpy(packet + (j * n + c) * size, sample, static_cast<size_t>(size));
    }
  }
  static void unpack(fifo_handle f, const uint8_t *packet, int size, int n, int c, int frames) {
    for (int j = 0; j < frames; ++j) fifo_write_one(f, packet + (j * n + c) * size);
  }
};

void expect_same(const fifo_record &a, const fifo_record &b, const std::string &where) {
  EXPECT_EQ(a.write_index, b.write_index) << where;
  EXPECT_EQ(a.read_index, b.read_index) << where;
  EXPECT_EQ(a.overrun_count, b.overrun_count) << where;
  EXPECT_EQ(a.free_count, b.free_count) << where;
  ASSERT_EQ(a.capacity, b.capacity);
  EXPECT_EQ(0, std::memcmp(a.storage, b.storage,
                           static_cast<size_t>(a.capacity) * static_cast<size_t>(a.item_size)))
      << where;
}

TEST_F(Packing, BlockMovesMatchOneFifoOperationPerSample) {
  std::mt19937 random(12345);
  const PackFunction packers[] = {tx_pack16, tx_pack24, tx_pack32};
  const UnpackFunction unpackers[] = {rx_unpack16, rx_unpack24, rx_unpack32};
  for (int round = 0; round < 600; ++round) {
    const int width = 2 + static_cast<int>(random() % 3);
    const int n = 1 + static_cast<int>(random() % 5);
    const int c = static_cast<int>(random() % static_cast<unsigned>(n));
    const int capacity = static_cast<int>(random() % 300);
    const int frames = (512 / width) / n;
    const bool input = (round % 2) == 1;
    device(static_cast<int16_t>(n), static_cast<int16_t>(width * 8), static_cast<int16_t>(n),
           static_cast<int16_t>(width * 8));
    clear_tables();
    fifo_handle mine = give_fifo(input, c, capacity);
    fifo_handle ref = fifo_create(capacity, width);
    // The same random history in both: writes that wrap and overwrite, and some reads.
    const int history = static_cast<int>(random() % 700);
    for (int i = 0; i < history; ++i) {
      const uint32_t v = random();
      if (random() % 3 == 0) {
        uint8_t sink[4];
        fifo_read_one(mine, sink);
        fifo_read_one(ref, sink);
      } else {
        fifo_write_one(mine, &v);
        fifo_write_one(ref, &v);
      }
    }
    const std::string where = "round " + std::to_string(round);
    expect_same(*mine, *ref, where + " (history)");
    std::array<uint8_t, 540> packet{};
    std::array<uint8_t, 540> want{};
    if (input && round % 4 == 3) {
      // A batch as the rx thread hands it over, channel by channel across the packets: the same
      // as the packets one after the other, a read that completed short or empty included.
      g_device.in_packet_size.store(512);
      std::array<std::array<uint8_t, 540>, 3> batch{};
      const uint8_t *packets[3];
      int32_t sizes[3];
      const int count = 1 + static_cast<int>(random() % 3);
      for (int i = 0; i < count; ++i) {
        for (auto &b : batch[i]) b = static_cast<uint8_t>(random());
        packets[i] = batch[i].data();
        sizes[i] = static_cast<int32_t>(random() % 3 == 0 ? random() % 513 : 512);
      }
      unpack_packets(current_layout(true), packets, sizes, count);
      for (int i = 0; i < count; ++i) {
        Reference::unpack(ref, packets[i], width, n, c, (sizes[i] / width) / n);
      }
    } else if (input) {
      for (auto &b : packet) b = static_cast<uint8_t>(random());
      unpackers[width - 2](packet.data(), 512);
      Reference::unpack(ref, packet.data(), width, n, c, frames);
    } else {
      packers[width - 2](packet.data(), 512);
      Reference::pack(ref, want.data(), width, n, c, frames);
      ASSERT_EQ(0, std::memcmp(packet.data(), want.data(), 540)) << where;
    }
    expect_same(*mine, *ref, where);
    fifo_delete(ref);
    if (::testing::Test::HasFailure()) return;
  }
}

// A read can complete with no bytes (a device's stop flushes the reads it holds). The slot's
// buffer still holds its previous packet, which must not reach the FIFOs a second time, nor
// count as moved.
TEST_F(Packing, ReadsThatCompletedEmptyAddNothingToTheInputFifos) {
  device(2, 16, 2, 16);
  g_device.in_packet_size.store(8);  // two frames
  const PacketLayout layout = current_layout(true);
  ASSERT_TRUE(valid(layout));
  fifo_handle in0 = give_fifo(true, 0, 16);
  fifo_handle in1 = give_fifo(true, 1, 16);
  std::array<uint8_t, 8> stale{};
  std::array<uint8_t, 8> fresh{};
  for (size_t i = 0; i < 8; i += 2) {
    stale[i] = static_cast<uint8_t>(0x10 + i);
    fresh[i] = static_cast<uint8_t>(0x20 + i);
  }
  const uint8_t *packets[] = {stale.data(), fresh.data(), stale.data()};
  const int32_t sizes[] = {0, 8, 0};
  unpack_packets(layout, packets, sizes, 3);
  ASSERT_EQ(stored(in0), 2);
  ASSERT_EQ(stored(in1), 2);
  for (const uint32_t want : {0x20u, 0x24u}) {
    uint16_t got = 0;
    fifo_read_one(in0, &got);
    EXPECT_EQ(got, want);
  }
  EXPECT_EQ(g_in_loss.channels[0].moved, 2u);

  const int32_t empty[] = {0, 0};
  unpack_packets(layout, packets, empty, 2);
  EXPECT_EQ(stored(in0), 0);
  EXPECT_EQ(stored(in1), 2);
  EXPECT_EQ(g_in_loss.channels[1].moved, 2u);
}

}  // namespace
}  // namespace vexdaq
