// The virtual instrument's stream transfers as the transfer threads see them: served inside the
// submitting call when they can go on at once, queued for the clock thread otherwise, with the
// frame numbering, the captured output and cancellation unaffected by which path served them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "backend/driver.h"
#include "platform/thread.h"
#include "protocol/little_endian.h"
#include "protocol/usbio_records.h"
#include "sim_handles.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq {
namespace {

using testing::Transfer;

class SimServing : public testing::SimHandles {
 protected:
  void plug_and_start(const char *profile) {
    ASSERT_NO_FATAL_FAILURE(plug_and_bind(profile));
    ASSERT_TRUE(start_streaming());
  }
};

// Two 32-bit counter channels: channel c of frame n reads (c << 24) | (n mod 2^24). Checks that
// the frames of `bytes` continue from `next`; frames the instrument dropped may be skipped and
// are added to `skipped`.
void expect_frames(const uint8_t *buffer, uint32_t bytes, uint32_t &next, uint64_t &skipped) {
  ASSERT_EQ(bytes % 8, 0u);
  for (uint32_t at = 0; at < bytes; at += 8) {
    const uint32_t first = get_le32(buffer + at);
    const uint32_t second = get_le32(buffer + at + 4);
    ASSERT_EQ(first >> 24, 0u) << "byte " << at;
    ASSERT_EQ(second, (1u << 24) | (first & 0xFFFFFF)) << "byte " << at;
    skipped += ((first & 0xFFFFFF) - next) & 0xFFFFFF;
    next = (first + 1) & 0xFFFFFF;
  }
}

TEST_F(SimServing, TransfersThatCanGoOnCompleteBeforeTheCallReturns) {
  plug_and_start("waveform=counter;pacing=free;in_channels=2;in_bits=32;out_channels=2");
  Transfer read, write;
  uint32_t next = 0;
  uint64_t skipped = 0;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(driver_read(handles_[2], read.record, read.buffer, 500));
    ASSERT_TRUE(read.record.event->is_set()) << "read " << i << " was left to the clock thread";
    ASSERT_EQ(read.record.event->wait(0), platform::WaitResult::kSignaled);
    ASSERT_EQ(read.record.internal.load(), kStatusSuccess);
    ASSERT_EQ(read.record.internal_high.load(), 496u);  // 62 whole frames
    expect_frames(read.buffer, 496, next, skipped);
  }
  EXPECT_EQ(skipped, 0u);
  EXPECT_EQ(vexdaq_sim_counter(sim_, "rx_frames"), 300 * 62);
  EXPECT_EQ(vexdaq_sim_counter(sim_, "rx_packets"), 300);

  ASSERT_TRUE(driver_write(handles_[1], write.record, write.buffer, 8));
  EXPECT_TRUE(write.record.event->is_set());
  EXPECT_EQ(write.record.internal_high.load(), 8u);
  EXPECT_EQ(vexdaq_sim_counter(sim_, "tx_packets"), 1);
}

// Four reads in flight on a paced stream, as rxthread keeps them: some are served at once, the
// rest by the clock thread a tick later, and the frames still follow on from the start.
TEST_F(SimServing, PacedReadsKeepTheFrameNumbersWhicheverPathServesThem) {
  plug_and_start("waveform=counter;pacing=realtime;in_channels=2;in_bits=32;in_rates=200000");
  Transfer slots[4];
  for (Transfer &t : slots) ASSERT_TRUE(driver_read(handles_[2], t.record, t.buffer, 504));
  uint32_t next = 0;
  uint64_t skipped = 0;
  uint64_t frames = 0;
  for (int i = 0; i < 600; ++i) {  // about 0.2 s of frames
    Transfer &t = slots[i % 4];
    ASSERT_EQ(t.record.event->wait(1500), platform::WaitResult::kSignaled) << "read " << i;
    ASSERT_EQ(t.record.internal.load(), kStatusSuccess);
    ASSERT_EQ(t.record.internal_high.load(), 504u);
    expect_frames(t.buffer, 504, next, skipped);
    frames += 63;
    ASSERT_TRUE(driver_read(handles_[2], t.record, t.buffer, 504));
  }
  // Only frames the instrument reports as dropped (its FIFO overflowed while this thread was
  // not scheduled) may be missing.
  EXPECT_EQ(static_cast<int64_t>(skipped), vexdaq_sim_counter(sim_, "rx_dropped_frames"));
  ASSERT_TRUE(driver_cancel(handles_[2]));
  for (Transfer &t : slots) EXPECT_TRUE(t.record.event->is_set());
}

// An abort must not be outrun by a submitter that keeps serving itself, and every transfer
// completes exactly once whichever of the two gets to it.
TEST_F(SimServing, AbortReturnsWhileASubmitterKeepsServingItself) {
  plug_and_start("waveform=counter;pacing=free;in_channels=2;in_bits=32");
  std::atomic<bool> done{false};
  std::atomic<int> lost{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    Transfer t;
    while (!done.load()) {
      if (!driver_read(handles_[2], t.record, t.buffer, 504)) continue;
      if (t.record.event->wait(1500) != platform::WaitResult::kSignaled) lost.fetch_add(1);
      const uint32_t status = t.record.internal.load();
      if (status != kStatusSuccess && status != kStatusCancelled) lost.fetch_add(1);
      reads.fetch_add(1);
    }
  });
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(driver_ioctl(handles_[2], IOCTL_USBIO_ABORT_PIPE, nullptr, 0, nullptr, 0, nullptr));
    if (i % 20 == 0) platform::sleep_ms(1);
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(lost.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

// The instrument keeps the newest 4 MiB it received on the tx pipe, oldest first, byte for byte.
TEST_F(SimServing, CapturedOutputKeepsTheNewestBytesInOrder) {
  plug_and_start("pacing=free;in_channels=0;out_channels=2;out_bits=16");
  constexpr uint32_t kPacket = 500;
  constexpr uint32_t kPackets = 9000;  // 4.5 MB through, 4 MiB kept
  constexpr uint32_t kKept = 4u << 20;
  Transfer write;
  uint32_t word = 0;
  for (uint32_t i = 0; i < kPackets; ++i) {
    for (uint32_t at = 0; at < kPacket; at += 4, ++word) std::memcpy(write.buffer + at, &word, 4);
    ASSERT_TRUE(driver_write(handles_[1], write.record, write.buffer, kPacket));
    ASSERT_EQ(write.record.event->wait(1500), platform::WaitResult::kSignaled);
    ASSERT_EQ(write.record.internal_high.load(), kPacket);
  }
  std::vector<uint8_t> kept(kKept + 100, 0);
  // In uneven pieces, so that the takes cross the ring's end.
  int32_t taken = 0;
  while (taken < static_cast<int32_t>(kept.size())) {
    const int32_t n =
        vexdaq_sim_output_read(sim_, kept.data() + taken,
                               std::min<int32_t>(99991, static_cast<int32_t>(kept.size()) - taken));
    ASSERT_GE(n, 0);
    if (n == 0) break;
    taken += n;
  }
  ASSERT_EQ(taken, static_cast<int32_t>(kKept));
  const uint32_t first = kPackets * kPacket / 4 - kKept / 4;
  for (uint32_t i = 0; i < kKept / 4; ++i) {
    uint32_t got;
    std::memcpy(&got, kept.data() + 4 * i, 4);
    ASSERT_EQ(got, first + i) << "word " << i;
  }
  EXPECT_EQ(vexdaq_sim_output_read(sim_, kept.data(), 16), 0);
  EXPECT_EQ(vexdaq_sim_counter(sim_, "tx_bytes"), static_cast<int64_t>(kPackets) * kPacket);
}

}  // namespace
}  // namespace vexdaq
