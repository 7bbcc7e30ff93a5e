// What the library finds out about the input stream by itself: the frames a device lost
// before they reached the host, the stream's start and the device clock's drift, and a stream so
// slow that one packet takes longer to fill than a fast one's transfer may take. The instrument's
// own counters are read only afterwards, as the ground truth to compare with.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/sim_session.h"

namespace vexdaq::testing {
namespace {

using StreamGaps = SimSessionTest;

std::vector<vexdaq_stream_gap> stream_gaps(vexdaq_gap_totals *totals) {
  std::vector<vexdaq_stream_gap> gaps(64);
  const int32_t n = vexdaq_get_stream_gaps(gaps.data(), 64, totals);
  EXPECT_GE(n, 0);
  gaps.resize(static_cast<size_t>(std::max(n, 0)));
  return gaps;
}

TEST_F(StreamGaps, ADropInjectedIntoTheInstrumentIsFoundFromTheStreamAlone) {
  constexpr int kRate = 51200;
  constexpr int kDropped = 1024;     // 20 ms
  constexpr int kPacketFrames = 64;  // 2 channels of 32 bits: a counter of 24 bits shows the drop
  open("waveform=counter;in_channels=2;out_channels=0;in_bits=32;clock_ppm=150;in_rates=" +
       std::to_string(kRate) + ";drop_frames=" + std::to_string(kDropped) + ";drop_at_ms=700");
  vexdaq_gap_totals before{};
  ASSERT_GE(vexdaq_get_stream_gaps(nullptr, 0, &before), 0);
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 16, .in_capacity = 1 << 17, .out_mask = 0, .in_mask = 0x1}));
  CounterCheck check{32, 0, true};
  // 1.6 s: the drop, then the two windows that make it permanent.
  ASSERT_NO_FATAL_FAILURE(receive_counter_blocks(check, kRate / 10, 16));
  EXPECT_EQ(vexdaq_stop(), 0);

  vexdaq_gap_totals totals{};
  const std::vector<vexdaq_stream_gap> gaps = stream_gaps(&totals);
  // The ground truth, now: what the instrument dropped, and what the data shows missing.
  const uint64_t dropped = device_dropped();
  ASSERT_GE(dropped, static_cast<uint64_t>(kDropped));
  EXPECT_EQ(check.skipped, dropped);
  ASSERT_GE(gaps.size(), 1u);
  EXPECT_EQ(totals.stream_gaps, gaps.size());
  EXPECT_EQ(totals.gaps - before.gaps, gaps.size());
  // Every frame the instrument dropped is accounted for, to within a packet per gap.
  EXPECT_NEAR(static_cast<double>(totals.stream_frames_missing), static_cast<double>(dropped),
              kPacketFrames * static_cast<double>(gaps.size()));
  // The injected one, where the instrument put it: 700 ms of its clock.
  bool found = false;
  for (const vexdaq_stream_gap &g : gaps) {
    if (std::fabs(static_cast<double>(g.frame_index) - 0.7 * kRate * 1.00015) < 2 * kPacketFrames &&
        std::fabs(static_cast<double>(g.frame_count) - kDropped) < kPacketFrames) {
      found = true;
    }
  }
  EXPECT_TRUE(found) << gaps.size() << " gaps, the first " << gaps[0].frame_count
                     << " frames after frame " << gaps[0].frame_index;
  EXPECT_NE(read_log().find("input stream gap"), std::string::npos);
}

TEST_F(StreamGaps, TheStartAndTheDeviceClocksDriftComeWithTheStream) {
  constexpr int kRate = 25600;
  // A drift far beyond a crystal's: over the 1.2 s streamed, a host that wakes a millisecond late
  // now and then (ThreadSanitizer, Wine, a loaded machine) must not blur its size or sign.
  open("waveform=counter;in_channels=2;out_channels=0;in_bits=16;clock_ppm=-3000;in_rates=" +
       std::to_string(kRate));
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 16, .in_capacity = 1 << 17, .out_mask = 0, .in_mask = 0x1}));
  CounterCheck check{16, 0, true};
  ASSERT_NO_FATAL_FAILURE(receive_counter_blocks(check, kRate / 10, 12));
  vexdaq_stream_timing timing{};
  ASSERT_EQ(vexdaq_get_stream_timing(&timing), 0);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(timing.started, 1);
  EXPECT_EQ(timing.rate, kRate);
  EXPECT_EQ(timing.fitted, 1);
  EXPECT_GE(timing.frames_received, kRate);
  EXPECT_NEAR(timing.drift_ppm, -3000, 1000);
  EXPECT_GE(timing.bus_frame_number, 0);
  EXPECT_GT(timing.start_utc_ns, 1'600'000'000'000'000'000);  // after 2020
  // Frame 0 was taken after the start request, and well within the first second.
  EXPECT_GE(timing.first_frame_monotonic_ns, timing.start_monotonic_ns - 2'000'000);
  EXPECT_LT(timing.first_frame_monotonic_ns, timing.start_monotonic_ns + 500'000'000);
  vexdaq_gap_totals totals{};
  stream_gaps(&totals);
  EXPECT_EQ(totals.stream_frames_missing, device_dropped());
}

TEST_F(StreamGaps, AStreamWhosePacketTakesLongerThanTheOldTimeOutToFillStreams) {
  // One 16-bit channel at 150 Hz: a 512-byte packet holds 256 frames and fills in 1.7 s.
  open("waveform=counter;in_channels=1;out_channels=0;in_bits=16;in_rates=150");
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 16, .in_capacity = 4096, .out_mask = 0, .in_mask = 0x1}));
  CounterCheck check{16, 0, true};
  ASSERT_NO_FATAL_FAILURE(receive_counter_blocks(check, 256));
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(loss(true).transfer_failures, 0u);
  EXPECT_EQ(read_log().find("hReadEvent failed"), std::string::npos);
}

TEST_F(StreamGaps, TheGapExportsRefuseBadArguments) {
  vexdaq_stream_gap gap{};
  EXPECT_EQ(vexdaq_get_stream_gaps(&gap, -1, nullptr), -1);
  EXPECT_EQ(vexdaq_get_stream_gaps(nullptr, 1, nullptr), -1);
  EXPECT_EQ(vexdaq_get_stream_gaps(nullptr, 0, nullptr), 0);
  EXPECT_EQ(vexdaq_get_stream_timing(nullptr), -1);
}

}  // namespace
}  // namespace vexdaq::testing
