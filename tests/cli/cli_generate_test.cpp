// vexdaq generate plays to its last sample: recorded through the virtual instrument's loopback
// (input channel k carries output channel k), every sample of the waveform or the file comes back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_run.h"

namespace {

using vexdaq_cli_test::contains;
using vexdaq_cli_test::run;

// Column `column` of a CSV capture (after its header line).
std::vector<long> csv_column(const std::string &path, size_t column) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  std::vector<long> values;
  while (std::getline(in, line)) {
    std::stringstream cells(line);
    std::string cell;
    for (size_t c = 0; c <= column; ++c) std::getline(cells, cell, ',');
    values.push_back(std::stol(cell));
  }
  return values;
}

// The seconds from start to stop the tool reports ("..., 2.010 s").
double reported_seconds(const std::string &output) {
  const auto end = output.find(" s\n");
  const auto start = output.rfind(' ', end - 1);
  return std::stod(output.substr(start + 1, end - start - 1));
}

TEST(CliGenerate, PlaysEverySampleAndReturnsOnlyOnceTheLastHasBeenPlayed) {
  // 1 kHz: the whole waveform fits the instrument's buffer at once, which is what cut it short.
  const auto r =
      run("--sim-profile loopback=1 generate -r 1000 -d 2 -w counter -c 0-1 --record rec.csv "
          "--record-channels 0-1");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "generated 2000 samples per channel")) << r.output;
  EXPECT_GE(reported_seconds(r.output.substr(0, r.output.find('\n') + 1)), 2.0) << r.output;
  for (size_t channel = 0; channel < 2; ++channel) {
    const auto values = csv_column("rec.csv", channel);
    ASSERT_EQ(values.size(), 2000u);
    for (long n = 0; n < 2000; ++n) {
      ASSERT_EQ(values[n], (long{static_cast<long>(channel)} << 16) | n) << "frame " << n;
    }
  }
}

TEST(CliGenerate, PlaysTheWholeFileWhateverTheDefaultDuration) {
  // 1.5 s of 24-bit frames of one channel: longer than the 1 s default of waveforms.
  {
    std::ofstream out("ramp.raw", std::ios::binary);
    for (int n = 0; n < 72000; ++n) {
      const int v = n * 3;
      out.put(static_cast<char>(v)).put(static_cast<char>(v >> 8)).put(static_cast<char>(v >> 16));
    }
  }
  const auto r =
      run("--sim-profile loopback=1 generate -r 48000 -c 0 --file ramp.raw --record rec.csv "
          "--record-channels 0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "generated 72000 samples per channel")) << r.output;
  const auto values = csv_column("rec.csv", 0);
  ASSERT_EQ(values.size(), 72000u);
  for (long n = 0; n < 72000; ++n) {
    const long expected = (n * 3) & 0xFFFFFF;
    ASSERT_EQ(values[n], expected >= 0x800000 ? expected - 0x1000000 : expected) << n;
  }
  // A file that does not hold whole frames of the selected channels is refused.
  std::ofstream("odd.raw") << "12345";
  EXPECT_EQ(run("--sim generate -c 0-1 --file odd.raw").exit_code, 2);
}

TEST(CliGenerate, LoopPlaysUntilInterrupted) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(VEXDAQ_CLI, VEXDAQ_CLI, "--log-dir", "log", "--sim", "generate", "-r", "10000", "--loop",
          "--record", "rec.raw", "--record-channels", "0", static_cast<char *>(nullptr));
    _exit(127);
  }
  // Bounded wait until more than the one-second default has been recorded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto recorded = [] {
    std::error_code ec;
    const auto size = std::filesystem::file_size("rec.raw", ec);
    return ec ? 0 : size;
  };
  while (recorded() < 3 * 12000 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_GE(recorded(), 3u * 12000);
  EXPECT_EQ(run("--sim generate --loop -d 2").exit_code, 2);
}

}  // namespace
