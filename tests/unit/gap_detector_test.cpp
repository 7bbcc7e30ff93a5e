// The gap detector against a modelled device and host: a device clock off by some ppm, frames
// it drops, packets delivered after a random delay and host stalls that bunch them up. Every
// time is made up, so the cases are exact and quick.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "stream/gap_detector.h"
#include "stream/transfer_timeout.h"

namespace vexdaq {
namespace {

TEST(TransferTimeout, FollowsThePacketFillTimeAboveTheFloor) {
  EXPECT_EQ(transfer_timeout_ms(625000, 16), kMinTransferTimeoutMs);
  EXPECT_EQ(transfer_timeout_ms(1000, 256), kMinTransferTimeoutMs);  // 256 ms per packet
  EXPECT_EQ(transfer_timeout_ms(100, 256), 3 * 2560u + 500u);        // 1 x 16 bit at 100 Hz
  EXPECT_EQ(transfer_timeout_ms(1, 256), 3 * 256000u + 500u);
  EXPECT_EQ(transfer_timeout_ms(0, 256), kMinTransferTimeoutMs);  // unknown rate
  EXPECT_EQ(transfer_timeout_ms(100, 0), kMinTransferTimeoutMs);
  EXPECT_EQ(transfer_timeout_ms(-5, 256), kMinTransferTimeoutMs);
}

struct Drop {
  double at_s;  // device time
  int64_t frames;
};

struct Stall {
  double at_s;  // host time: the thread runs again at at_s + length_s
  double length_s;
};

struct Scenario {
  double rate = 51200;
  int32_t packet_frames = 21;
  int32_t depth = 32;
  double ppm = 0;
  double seconds = 10;
  double jitter_s = 200e-6;  // delivery delay beyond the base, uniform
  std::vector<Drop> drops;
  std::vector<Stall> stalls;
};

struct Outcome {
  std::vector<GapRecord> gaps;
  GapDetector detector;
  double start_offset_s = 0;  // when the device's frame 0 was taken, after the start
};

// Packet by packet: the device takes frame i at start + offset + i / (rate (1 + ppm)), skipping
// the frames it drops; a packet goes once its last frame is taken and arrives 30 us plus up to
// jitter_s later, or when a stall ends, never before the one ahead of it.
Outcome run(const Scenario &r) {
  Outcome out;
  constexpr int64_t kStart = 1'000'000'000;  // host ns of the start request
  out.start_offset_s = 0.0004;
  out.detector.begin(r.rate, r.packet_frames,
                     GapDetector::window_for(r.rate, r.packet_frames, r.depth), kStart);
  const double true_rate = r.rate * (1 + r.ppm * 1e-6);
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> delay(0, r.jitter_s);
  size_t next_drop = 0;
  int64_t device_frame = 0;  // the next frame the device takes
  double delivered_s = 0;
  for (;;) {
    int64_t taken = 0;
    while (taken < r.packet_frames) {
      if (next_drop < r.drops.size() && device_frame / true_rate >= r.drops[next_drop].at_s) {
        device_frame += r.drops[next_drop++].frames;
        continue;
      }
      ++device_frame;
      ++taken;
    }
    const double complete_s = out.start_offset_s + device_frame / true_rate;
    if (complete_s > r.seconds) break;
    double arrival = complete_s + 30e-6 + delay(random);
    for (const Stall &s : r.stalls) {
      if (arrival >= s.at_s && arrival < s.at_s + s.length_s) arrival = s.at_s + s.length_s;
    }
    delivered_s = std::max(delivered_s, arrival);
    GapRecord gap;
    if (out.detector.add(r.packet_frames, kStart + std::llround(delivered_s * 1e9), &gap)) {
      out.gaps.push_back(gap);
    }
  }
  return out;
}

TEST(GapDetector, ADriftingClockWithoutDropsGivesNoGapInTenMinutes) {
  for (const double ppm : {-200.0, 0.0, 200.0}) {
    Scenario r;
    r.ppm = ppm;
    r.seconds = 600;
    // Host stalls the posted transfers cover (32 packets of 21 frames: 13 ms at the rate).
    for (double at = 5; at < 600; at += 37) r.stalls.push_back({at, 0.011});
    const Outcome out = run(r);
    EXPECT_TRUE(out.gaps.empty()) << ppm << " ppm: " << out.gaps.size() << " false gaps, the first "
                                  << (out.gaps.empty() ? 0 : out.gaps[0].frame_count) << " frames";
    EXPECT_NEAR(out.detector.drift_ppm(), ppm, 1.0);
    EXPECT_EQ(out.detector.frames_missing(), 0);
  }
}

TEST(GapDetector, DropsOfOneTenAndAHundredMillisecondsAreFoundWithTheirSizeAndPlace) {
  for (const double ppm : {-200.0, 200.0}) {
    for (const double rate : {51200.0, 625000.0}) {
      Scenario r;
      r.rate = rate;
      r.packet_frames = rate > 100000 ? 16 : 21;  // 8 channels of 32 and of 24 bits
      r.depth = rate > 100000 ? 256 : 32;
      r.ppm = ppm;
      r.seconds = 8;
      const double true_rate = rate * (1 + ppm * 1e-6);
      r.drops = {{2.0, std::llround(0.001 * rate)},
                 {4.0, std::llround(0.010 * rate)},
                 {6.0, std::llround(0.100 * rate)}};
      const Outcome out = run(r);
      ASSERT_EQ(out.gaps.size(), 3u) << ppm << " ppm at " << rate << " Hz";
      int64_t before = 0;
      for (size_t i = 0; i < 3; ++i) {
        const GapRecord &g = out.gaps[i];
        // Within one packet plus what the drift adds over a window.
        EXPECT_NEAR(static_cast<double>(g.frame_count), static_cast<double>(r.drops[i].frames),
                    r.packet_frames + rate * 250e-6 * 0.2)
            << "gap " << i << ", " << ppm << " ppm at " << rate << " Hz";
        // Where it sits in the delivered data: the frames taken before the drop, less the earlier
        // drops, to within a packet and the delivery jitter.
        const double expected = r.drops[i].at_s * true_rate - static_cast<double>(before);
        EXPECT_NEAR(static_cast<double>(g.frame_index), expected,
                    2.0 * r.packet_frames + rate * r.jitter_s)
            << "gap " << i;
        before += r.drops[i].frames;
      }
    }
  }
}

TEST(GapDetector, TheSmallestDropFoundIsTwoPackets) {
  Scenario r;
  r.rate = 625000;
  r.packet_frames = 16;
  r.depth = 256;
  r.ppm = 200;
  r.seconds = 4;
  r.jitter_s = 20e-6;  // an idle host: the allowance is the packet's swing and the drift
  r.drops = {{2.0, 32}};
  const Outcome out = run(r);
  ASSERT_EQ(out.gaps.size(), 1u);
  EXPECT_NEAR(static_cast<double>(out.gaps[0].frame_count), 32, 16);
}

TEST(GapDetector, AStallLongerThanTheQueueCoversIsTheLossOfWhatDidNotFit) {
  // What the device loses in a stall its FIFO and the posted reads did not cover, modelled as
  // the drop it is, behind the stall the host shows.
  Scenario r;
  r.seconds = 5;
  r.drops = {{2.05, 2560}};  // 50 ms
  r.stalls = {{2.0, 0.1}};
  const Outcome out = run(r);
  ASSERT_EQ(out.gaps.size(), 1u);
  EXPECT_NEAR(static_cast<double>(out.gaps[0].frame_count), 2560, r.packet_frames * 2.0);
}

TEST(GapDetector, TheFitGivesTheFirstFramesTimeAndTheDrift) {
  Scenario r;
  r.ppm = -120;
  r.seconds = 20;
  const Outcome out = run(r);
  ASSERT_TRUE(out.detector.fitted());
  EXPECT_NEAR(out.detector.drift_ppm(), -120, 2);
  // Late by the least delivery delay (30 us) at most a little more.
  const double first_s = (out.detector.first_frame_ns() - 1'000'000'000) * 1e-9;
  EXPECT_NEAR(first_s, out.start_offset_s + 30e-6, 100e-6);
}

TEST(GapDetector, NothingIsJudgedBeforeTheStartOrWithoutARate) {
  GapDetector idle;
  GapRecord gap;
  EXPECT_FALSE(idle.add(100, 5, &gap));
  EXPECT_EQ(idle.frames_received(), 0);
  GapDetector d;
  d.begin(1000, 10, GapDetector::window_for(1000, 10, 4), 1000);
  EXPECT_FALSE(d.add(10, 999, &gap));  // before the start
  EXPECT_FALSE(d.add(-3, 2000, &gap));
  EXPECT_EQ(d.frames_received(), 0);
  EXPECT_FALSE(d.fitted());
  EXPECT_EQ(d.first_frame_ns(), 1000);
  EXPECT_EQ(d.drift_ppm(), 0);
}

TEST(GapDetector, WindowOutlastsThePostedTransfersAndFourPackets) {
  EXPECT_EQ(GapDetector::window_for(625000, 16, 4), 200'000'000);
  // 256 packets of 16 frames at 51.2 kHz cover 80 ms.
  EXPECT_EQ(GapDetector::window_for(51200, 16, 256), 200'000'000);
  EXPECT_EQ(GapDetector::window_for(1000, 16, 256), 8'192'000'000);
  EXPECT_EQ(GapDetector::window_for(100, 256, 4), 20'480'000'000);
}

}  // namespace
}  // namespace vexdaq
