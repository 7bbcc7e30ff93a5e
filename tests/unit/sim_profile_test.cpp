// The virtual instrument's profile text and its trace's bounds.
#include <gtest/gtest.h>

#include <string>

#include "sim/profile.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::sim {
namespace {

TEST(SimProfile, ReadsEveryKindOfValue) {
  Profile p;
  std::string error;
  ASSERT_TRUE(apply_profile_text(
      "in_channels=0x10; out_channels=0;in_bits=12;in_rates=;out_rates=1, 2,3;protocol=0;"
      "product=Any Name At All;waveform=counter;waveform.3=dc;pacing=free;loopback=1;"
      "exclusive=1;pipes=30;driver_opens=7",
      p, error))
      << error;
  EXPECT_EQ(p.in_channels, 16u);
  EXPECT_EQ(p.out_channels, 0u);
  EXPECT_EQ(p.in_bits, 12u);
  EXPECT_TRUE(p.in_rates.empty());
  EXPECT_EQ(p.out_rates, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(p.protocol, 0);
  EXPECT_EQ(p.product, "Any Name At All");
  EXPECT_EQ(p.waveform, Waveform::kCounter);
  ASSERT_EQ(p.channel_waveforms.size(), 4u);
  EXPECT_EQ(p.channel_waveforms[3], Waveform::kDc);
  EXPECT_EQ(p.channel_waveforms[0], Waveform::kCounter);
  EXPECT_EQ(p.pacing, Pacing::kFree);
  EXPECT_TRUE(p.loopback);
  EXPECT_TRUE(p.exclusive);
  EXPECT_EQ(p.pipes, 30u);
  EXPECT_EQ(p.driver_opens, 7u);
}

TEST(SimProfile, RejectsBadEntriesAndChangesNothing) {
  const char *bad[] = {"colour=red",     "in_channels=65536", "in_channels=-1",    "in_bits=65",
                       "protocol=0x100", "pacing=slow",       "waveform=triangle", "loopback=2",
                       "in_rates=1,,2",  "in_rates=1,x",      "pipes=31",          "in_channels",
                       "bcd_device=0x",  "fpga_version=12a"};
  for (const char *text : bad) {
    Profile p;
    std::string error;
    EXPECT_FALSE(apply_profile_text(text, p, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(p.in_channels, 8u) << text;
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(vexdaq_sim_plug("in_channels=1;colour=red"), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("colour"), std::string::npos);
}

TEST(SimProfile, NumbersAcceptDecimalAndHexUpToTheirLimit) {
  uint64_t n = 0;
  EXPECT_TRUE(parse_number("0xFFFF", 0xFFFF, n));
  EXPECT_EQ(n, 0xFFFFu);
  EXPECT_FALSE(parse_number("65536", 0xFFFF, n));
  EXPECT_FALSE(parse_number("99999999999999999999999", ~0ull, n));
  EXPECT_TRUE(parse_number(" 42 ", 100, n));
  EXPECT_EQ(n, 42u);
}

TEST(SimTrace, TextThatDoesNotFitIsNeitherCopiedNorConsumed) {
  int32_t sim = vexdaq_sim_plug(nullptr);
  ASSERT_GE(sim, 0);
  EXPECT_EQ(vexdaq_sim_trace(sim, nullptr, 0), 0);
  EXPECT_EQ(vexdaq_sim_trace(sim + 1, nullptr, 0), -1);
  vexdaq_sim_reset();
}

}  // namespace
}  // namespace vexdaq::sim
