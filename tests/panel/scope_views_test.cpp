// The scope's reductions: per-pixel min/max of the rolling view and the triggered sweep.
#include <gtest/gtest.h>

#include <numeric>

#include "display/scope_views.h"

namespace vexdaq_panel {
namespace {

// One channel counting up from `first`, `n` frames.
std::vector<std::vector<int32_t>> ramp(int32_t first, size_t n, size_t channels = 1) {
  std::vector<std::vector<int32_t>> s(channels, std::vector<int32_t>(n));
  for (size_t c = 0; c < channels; ++c)
    std::iota(s[c].begin(), s[c].end(), first + static_cast<int32_t>(1000 * c));
  return s;
}

TEST(RollingView, ColumnsHoldMinAndMaxAcrossBlockBoundaries) {
  RollingView view;
  view.reset(2, 4, 3);  // 4 columns of 3 frames
  auto a = ramp(0, 5, 2);
  auto b = ramp(5, 9, 2);
  view.add({&a, 5});
  view.add({&b, 9});  // 14 frames: columns 0..4, the newest (12, 13) still filling
  const Columns out = view.snapshot();
  EXPECT_EQ(out.first_frame, 3);  // columns 1..4 shown
  EXPECT_EQ(out.minima[0], 3);
  EXPECT_EQ(out.maxima[0], 5);  // column 1 spans the two blocks
  EXPECT_EQ(out.minima[3], 12);
  EXPECT_EQ(out.maxima[3], 13);
  EXPECT_EQ(out.minima[4 + 0], 1003);  // second channel, same columns
  EXPECT_EQ(out.maxima[4 + 3], 1013);
}

TEST(RollingView, ColumnsNotYetSeenAreEmpty) {
  RollingView view;
  view.reset(1, 4, 2);
  auto a = ramp(7, 3);
  view.add({&a, 3});
  const Columns out = view.snapshot();
  EXPECT_EQ(out.first_frame, -4);
  EXPECT_EQ(out.minima[0], kEmptyMin);
  EXPECT_EQ(out.maxima[1], kEmptyMax);
  EXPECT_EQ(out.minima[2], 7);
  EXPECT_EQ(out.maxima[3], 9);
}

TriggerSettings rising_at(int32_t level, SweepMode mode, double pre = 0.5) {
  TriggerSettings t;
  t.level = level;
  t.pre_share = pre;
  t.mode = mode;
  return t;
}

TEST(SweepView, WindowIsPlacedAroundTheCrossingWithItsPreTriggerShare) {
  SweepView sweep;
  sweep.reset(1, 4, 2, 16, rising_at(20, SweepMode::kNormal));  // window 8, 4 before
  auto a = ramp(0, 16);
  auto b = ramp(16, 16);
  EXPECT_FALSE(sweep.add({&a, 16}));
  ASSERT_TRUE(sweep.add({&b, 16}));  // crosses 20 at frame 20
  const auto out = sweep.take_sweep();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->first_frame, 16);
  EXPECT_EQ(out->trigger_column, 2u);
  EXPECT_EQ(out->minima[0], 16);
  EXPECT_EQ(out->maxima[3], 23);
  EXPECT_FALSE(sweep.take_sweep());  // once
}

TEST(SweepView, WaitsForThePostTriggerPartInLaterBlocks) {
  SweepView sweep;
  sweep.reset(1, 4, 2, 8, rising_at(14, SweepMode::kNormal, 0.25));  // 2 before, 6 after
  auto a = ramp(0, 8);
  auto b = ramp(8, 8);
  auto c = ramp(16, 8);
  EXPECT_FALSE(sweep.add({&a, 8}));
  EXPECT_FALSE(sweep.add({&b, 8}));  // crossing at 14, needs frames up to 19
  ASSERT_TRUE(sweep.add({&c, 8}));
  EXPECT_EQ(sweep.take_sweep()->first_frame, 12);
}

TEST(SweepView, FallingEdgeIgnoresRisingCrossings) {
  SweepView sweep;
  TriggerSettings t = rising_at(50, SweepMode::kNormal, 0.0);
  t.rising = false;
  sweep.reset(1, 2, 1, 200, t);
  std::vector<std::vector<int32_t>> s(1);
  for (int i = 0; i < 100; ++i) s[0].push_back(i);  // rises through 50
  for (int i = 100; i > 0; --i) s[0].push_back(i);  // falls through 50 at frame 150
  ASSERT_TRUE(sweep.add({&s, s[0].size()}));
  EXPECT_EQ(sweep.take_sweep()->first_frame, 150);
}

TEST(SweepView, AutoShowsTheNewestWindowWithoutATrigger) {
  SweepView sweep;
  TriggerSettings t = rising_at(1 << 30, SweepMode::kAuto);
  t.auto_after_frames = 20;
  sweep.reset(1, 4, 2, 32, t);
  auto a = ramp(0, 16);
  auto b = ramp(16, 16);
  EXPECT_FALSE(sweep.add({&a, 16}));
  ASSERT_TRUE(sweep.add({&b, 16}));
  const auto out = sweep.take_sweep();
  EXPECT_EQ(out->first_frame, 24);
  EXPECT_EQ(out->trigger_column, 0xFFFFFFFFu);
}

TEST(SweepView, SingleSweepStaysDisarmedUntilArmed) {
  SweepView sweep;
  sweep.reset(1, 2, 1, 64, rising_at(0, SweepMode::kSingle, 0.0));
  std::vector<std::vector<int32_t>> square(1);
  for (int i = 0; i < 64; ++i) square[0].push_back(i % 8 < 4 ? -1 : 1);  // rises every 8
  ASSERT_TRUE(sweep.add({&square, 64}));
  ASSERT_TRUE(sweep.take_sweep());
  EXPECT_FALSE(sweep.add({&square, 64}));
  sweep.arm();
  EXPECT_TRUE(sweep.add({&square, 64}));
}

TEST(SweepView, RefusesBlocksLongerThanItsHistory) {
  SweepView sweep;
  sweep.reset(1, 2, 1, 4, rising_at(0, SweepMode::kNormal));
  auto a = ramp(-3, 5);
  EXPECT_FALSE(sweep.add({&a, 5}));
}

}  // namespace
}  // namespace vexdaq_panel
