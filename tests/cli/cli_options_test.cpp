// The tool keeps its word: every bad option is refused with exit 2 before the instrument is
// touched, global options go anywhere, setters confirm, and the log lands where it was told.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "cli_run.h"

namespace {

using vexdaq_cli_test::contains;
using vexdaq_cli_test::run;

TEST(CliOptions, OutOfRangeValuesExitWithTwoAndSayWhy) {
  const std::pair<const char *, const char *> cases[] = {
      {"--sim acquire -d inf", "finite"},
      {"--sim acquire -d nan", "finite"},
      {"--sim acquire -d 1e300", "at most"},
      {"--sim acquire -r 1000 -d 0.0001", "shorter than one sample"},
      {"--sim acquire -r 0", "--rate"},
      {"--sim acquire -o x.xyz", "cannot tell the format of 'x.xyz'"},
      {"--sim acquire --icp 2", "--icp"},
      {"--sim generate -r 48000 --frequency 60000", "half the rate"},
      {"--sim generate --frequency -5", "frequency"},
      {"--sim generate -d inf", "finite"},
      {"--sim generate --file nonexist.raw", "nonexist.raw"},
      {"--sim generate --record -", "needs a file name"},
      {"--sim generate --record x.xyz", "cannot tell the format"},
      {"--sim pwm --pin 99 --frequency -1", "--frequency"},
      {"--sim pwm --pin 128", "--pin"},
      {"--sim pwm --duty 500", "--duty"},
      {"--sim gpio --pins 256 --mode 1", "--pins"},
      {"--sim gpio --pins 1 --mode -3", "--mode"},
      {"--sim dio --port -1", "--port"},
      {"--sim counter --pin 0 --mode 256", "--mode"},
      {"plot nonexist.csv", "nonexist.csv"},
      {"--device -1 info", "--device"},
  };
  for (const auto &[arguments, message] : cases) {
    const auto r = run(arguments);
    EXPECT_EQ(r.exit_code, 2) << arguments << "\n" << r.output;
    EXPECT_TRUE(contains(r.output, message)) << arguments << "\n" << r.output;
  }
}

TEST(CliOptions, GlobalOptionsWorkAfterTheSubcommandAndVersionNeedsNone) {
  auto r = run("list --sim");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "1 instrument(s)")) << r.output;
  r = run("info --sim-profile in_channels=3");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "input channels   3")) << r.output;
  r = run("--version");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "vexdaq 5.")) << r.output;
}

TEST(CliOptions, SettersConfirmWhatTheySet) {
  const std::pair<const char *, const char *> cases[] = {
      {"--sim gpio --pins 0x5 --mode 2", "pins 0x05 set to mode 2"},
      {"--sim dio --port 1 --write 165", "port 1 written 0xA5"},
      {"--sim pwm --pin 1 --frequency 1000 --duty 25", "pin 1 at 1000 Hz, duty 25%"},
      {"--sim counter --pin 2 --mode 1 --edge 0", "pin 2 set to mode 1, edge 0"},
      {"--sim uart --baud 9600", "9600 baud"},
      {"--sim i2c --reg 16 --write 0102", "2 byte(s) written to register 0x0010"},
      {"--sim serial SN0001", "serial number set to 'SN0001'"},
  };
  for (const auto &[arguments, message] : cases) {
    const auto r = run(arguments);
    EXPECT_EQ(r.exit_code, 0) << arguments << "\n" << r.output;
    EXPECT_TRUE(contains(r.output, message)) << arguments << "\n" << r.output;
  }
}

TEST(CliOptions, FirmwareOfNoBytesOrMoreThanTheInstrumentHoldsIsRefusedFirst) {
  std::ofstream("empty.bin").close();
  std::ofstream("big.bin") << std::string(70000, 'x');
  auto r = run("--sim firmware empty.bin");
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_TRUE(contains(r.output, "empty")) << r.output;
  r = run("--sim firmware big.bin");
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_TRUE(contains(r.output, "70000 bytes")) << r.output;
  EXPECT_TRUE(contains(r.output, "at most 65536")) << r.output;
  // Refused before any open: no session, so no log was written.
  EXPECT_FALSE(std::filesystem::exists("state/vexdaq/log"));
}

TEST(CliOptions, LogsGoToTheUserStateDirectoryOrLogDir) {
  ASSERT_EQ(run("--sim info").exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists("log"));
  EXPECT_FALSE(std::filesystem::is_empty("state/vexdaq/log"));
  ASSERT_EQ(run("info --sim --log-dir elsewhere/logs").exit_code, 0);
  EXPECT_FALSE(std::filesystem::is_empty("elsewhere/logs"));
  const auto r = run("--sim --log-dir here doctor");
  EXPECT_TRUE(contains(r.output, "session logs go to here/")) << r.output;
}

TEST(CliOptions, ListAndInfoSpeakJson) {
  auto r = run("--sim list --json");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  auto list = nlohmann::json::parse(r.output);
  EXPECT_EQ(list["count"], 1);
  ASSERT_EQ(list["instruments"].size(), 1u);
  EXPECT_EQ(list["instruments"][0]["product"], "VX-8 Virtual Instrument");
  EXPECT_TRUE(list["instruments"][0].contains("serial"));
  EXPECT_TRUE(list["instruments"][0].contains("usb_path"));
  r = run("info --json --sim");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const auto info = nlohmann::json::parse(r.output);
  EXPECT_EQ(info["input"]["channels"], 8);
  EXPECT_EQ(info["output"]["sample_bits"], 24);
  EXPECT_EQ(info["input"]["rates"].front(), 1000);
}

}  // namespace
