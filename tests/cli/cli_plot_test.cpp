// vexdaq plot reads every capture format the tool writes and draws a page an engineer keeps:
// title, units, ticks on both axes, selected channels, a readable column of 64 panels.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "cli_run.h"

namespace {

using vexdaq_cli_test::contains;
using vexdaq_cli_test::run;

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

size_t count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(CliPlot, AnHdf5CaptureInVoltsHasTitleUnitsAndTicksOnBothAxes) {
  if (!contains(run("--sim acquire -n 10 -o probe.h5").output, "samples per channel")) {
    GTEST_SKIP() << "this build writes no HDF5";
  }
  ASSERT_EQ(run("--sim acquire -c 0-1 -r 10000 -n 2000 --scale sim -o cap.h5").exit_code, 0);
  const auto r = run("plot cap.h5 -o cap.svg");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string svg = read_file("cap.svg");
  EXPECT_TRUE(contains(svg, "cap.h5 \xE2\x80\x94 2 channel(s), 2000 samples at 10000 Hz")) << svg;
  EXPECT_TRUE(contains(svg, "started 20")) << "the start time is in the title";
  EXPECT_EQ(count(svg, ">V</text>"), 2u);
  // The virtual instrument's sine spans +-5 V: the y axis is ticked in volts...
  EXPECT_TRUE(contains(svg, ">-4</text>") && contains(svg, ">4</text>")) << svg;
  // ... and the time axis every 0.02 s (nice steps, not just the ends).
  EXPECT_TRUE(contains(svg, ">0.10</text>") && contains(svg, ">0.16</text>")) << svg;
}

TEST(CliPlot, AWavCaptureAndAChoiceOfChannels) {
  ASSERT_EQ(run("--sim acquire -c 0-3 -r 10000 -n 1000 -o cap.wav").exit_code, 0);
  auto r = run("plot cap.wav -c 1,3 -o cap.svg");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string svg = read_file("cap.svg");
  EXPECT_EQ(count(svg, "<polyline"), 2u);
  EXPECT_TRUE(contains(svg, ">ch1<") && contains(svg, ">ch3<") && !contains(svg, ">ch0<"));
  EXPECT_TRUE(contains(svg, ">counts<"));
  EXPECT_EQ(run("plot cap.wav -c 7").exit_code, 2);
  std::ofstream("junk.wav") << "RIFF not really";
  EXPECT_EQ(run("plot junk.wav").exit_code, 2);
}

TEST(CliPlot, SixtyFourChannelsMakeOneReadableColumn) {
  ASSERT_EQ(run("--sim-profile in_channels=64 acquire -r 10000 -n 500 -o cap.csv").exit_code, 0);
  ASSERT_EQ(run("plot cap.csv -o cap.svg").exit_code, 0);
  const std::string svg = read_file("cap.svg");
  EXPECT_EQ(count(svg, "<polyline"), 64u);
  // 64 px panels: about 4800 px tall where every panel once took 194.
  const auto height = std::stoi(svg.substr(svg.find("height=\"") + 8));
  EXPECT_LT(height, 6000);
  EXPECT_GE(height, 64 * 64);
}

}  // namespace
