// The vexdaq tool against the virtual instrument: exit codes, messages and the files it writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
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

using vexdaq_cli_test::CliRun;
using vexdaq_cli_test::run;

std::vector<std::vector<long>> read_csv(const std::string &path, std::string *header) {
  std::ifstream in(path);
  std::getline(in, *header);
  std::vector<std::vector<long>> rows;
  for (std::string line; std::getline(in, line);) {
    std::vector<long> row;
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) row.push_back(std::stol(cell));
    rows.push_back(row);
  }
  return rows;
}

// The virtual instrument's counter pattern for 24-bit samples: channel above, frame below.
long counter(int channel, long frame) {
  return (long{channel} << 16) | (frame & 0xFFFF);
}

// The instrument buffers 64 kB of frames: at 10 kHz a loaded machine's scheduler can leave the
// tool a quarter of a second before frames are lost, at 102.4 kHz only 27 ms.
TEST(CliAcquire, CsvHasOneColumnPerChannelWithTheCounterPattern) {
  const CliRun r = run("--sim-profile waveform=counter acquire -c 0,3 -r 10000 -n 5000 -o cap.csv");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::string header;
  const auto rows = read_csv("cap.csv", &header);
  EXPECT_EQ(header, "ch0,ch3");
  ASSERT_EQ(rows.size(), 5000u);
  for (long n = 0; n < 5000; ++n) {
    ASSERT_EQ(rows[n].size(), 2u);
    ASSERT_EQ(rows[n][0], counter(0, n)) << "frame " << n;
    ASSERT_EQ(rows[n][1], counter(3, n)) << "frame " << n;
  }
  EXPECT_NE(r.output.find("5000 samples per channel"), std::string::npos) << r.output;
}

TEST(CliAcquire, WavHoldsTwentyFourBitPcmOfThePattern) {
  const CliRun r = run("--sim-profile waveform=counter acquire -c 1-2 -r 10000 -n 4096 -o cap.wav");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  SF_INFO info{};
  SNDFILE *file = sf_open("cap.wav", SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.samplerate, 10000);
  EXPECT_EQ(info.frames, 4096);
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_24);
  std::vector<int> samples(2 * 4096);
  ASSERT_EQ(sf_readf_int(file, samples.data(), 4096), 4096);
  sf_close(file);
  for (long n = 0; n < 4096; ++n) {
    ASSERT_EQ(samples[2 * n] >> 8, counter(1, n)) << "frame " << n;
    ASSERT_EQ(samples[2 * n + 1] >> 8, counter(2, n)) << "frame " << n;
  }
}

TEST(CliAcquire, RawIsTheSampleBytesInterleaved) {
  const CliRun r = run("--sim-profile waveform=counter acquire -c 5 -r 10000 -n 100 -o cap.raw");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::ifstream in("cap.raw", std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 300u);
  for (long n = 0; n < 100; ++n) {
    const long v = bytes[3 * n] | bytes[3 * n + 1] << 8 | bytes[3 * n + 2] << 16;
    ASSERT_EQ(v, counter(5, n));
  }
}

// Frames the instrument lost (injected: 1000 frames 1 s into the stream) are not in the file and
// no counter of the library's FIFOs sees them: the tool finds them from the stream, names the
// gap, exits 4, and its time column steps over the missing frames.
TEST(CliAcquire, FramesTheInstrumentLostEndInExitFourWithTheGapNamed) {
  const CliRun r =
      run("--sim-profile 'waveform=counter;in_channels=1;out_channels=0;in_rates=10000;"
          "drop_frames=1000;drop_at_ms=1000' acquire -c 0 -r 10000 -n 20000 --time -o gap.csv");
  ASSERT_EQ(r.exit_code, 4) << r.output;
  // The size is the library's estimate: good to a packet.
  const size_t summary = r.output.find("gaps: 1 (");
  ASSERT_NE(summary, std::string::npos) << r.output;
  const long missing = std::stol(r.output.substr(summary + 9));
  EXPECT_NEAR(missing, 1000, 170);
  // The instrument drops from its first packet (170 frames of 24 bits) at or after 1 s.
  const size_t at = r.output.find("after sample ");
  ASSERT_NE(at, std::string::npos) << r.output;
  const long gap = std::stol(r.output.substr(at + 13));
  EXPECT_GE(gap, 10000);
  EXPECT_LE(gap, 10170);
  std::ifstream in("gap.csv");
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "time_s,ch0");
  std::vector<double> times;
  while (std::getline(in, line)) times.push_back(std::stod(line.substr(0, line.find(','))));
  ASSERT_EQ(times.size(), 20000u);
  // One frame period within the stream, one more than the frames missing across the gap. The
  // period is the stream's own, 100 us corrected by the drift the library fitted over these two
  // seconds; on a loaded machine that fit can be off by a hundred ppm and more, so the steps are
  // measured against the period the file shows, and that against 100 us only loosely.
  const double period = (times[gap - 1] - times[0]) / static_cast<double>(gap - 1);
  EXPECT_NEAR(period, 1e-4, 1e-4 * 2e-3);
  EXPECT_NEAR(times[gap - 1] - times[gap - 2], period, 1e-10);
  EXPECT_NEAR(times[gap] - times[gap - 1], (missing + 1) * period, 1e-9);
}

TEST(CliAcquire, BadInputGivesAClearMessageAndANonZeroExit) {
  CliRun r = run("--sim acquire -c 9 -n 10 -o x.csv");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.output.find("unknown channel 9"), std::string::npos) << r.output;
  r = run("--sim acquire -c 0 -r 12345 -n 10 -o x.csv");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.output.find("unsupported input rate 12345"), std::string::npos) << r.output;
  r = run("--sim acquire -c 0-x -n 10");
  EXPECT_EQ(r.exit_code, 2);
  r = run("--sim-profile nonsense=1 info");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.output.find("bad virtual instrument profile"), std::string::npos) << r.output;
}

// The tool's parser has codes of its own (105 for a file that does not exist...): every parse and
// validation error is still a 2, and says what is wrong.
TEST(CliAcquire, EveryParseAndValidationErrorExitsWithTwo) {
  const std::pair<const char *, const char *> cases[] = {
      {"--sim firmware missing.bin", "does not exist"},
      {"--sim acquire -d -1", "the duration must be positive"},
      {"--sim acquire -n 0", "the number of samples must be positive"},
      {"--sim acquire --gear 9", "--gear"},
      {"--sim acquire --no-such-option", "--no-such-option"},
      {"--sim acquire -f h5 -o -", "needs a file name"},
      {"--sim acquire -f flac", "unknown format 'flac'"},
      {"--sim plot", "capture"},
      {"", "subcommand"},
  };
  for (const auto &[arguments, message] : cases) {
    const CliRun r = run(arguments);
    EXPECT_EQ(r.exit_code, 2) << arguments << "\n" << r.output;
    EXPECT_NE(r.output.find(message), std::string::npos) << arguments << "\n" << r.output;
  }
  EXPECT_EQ(run("--help").exit_code, 0);
  EXPECT_EQ(run("acquire --help").exit_code, 0);
}

TEST(CliAcquire, WithoutAnInstrumentSaysSoAndPointsAtDoctor) {
  const CliRun r = run("acquire -n 10");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.output.find("no instrument found"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("vexdaq doctor"), std::string::npos) << r.output;
}

TEST(CliAcquire, InterruptLeavesACompleteWavFile) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(VEXDAQ_CLI, VEXDAQ_CLI, "--log-dir", "log", "--sim", "acquire", "-c", "0", "-r", "1000",
          "-d", "60", "-q", "-o", "long.wav", static_cast<char *>(nullptr));
    _exit(127);
  }
  // Wait (bounded) until samples have reached the file, then interrupt as Ctrl-C would.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto written = [] {
    std::error_code ec;
    const auto size = std::filesystem::file_size("long.wav", ec);
    return ec ? 0 : size;
  };
  while (written() < 44 + 3 * 200 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  SF_INFO info{};
  SNDFILE *file = sf_open("long.wav", SFM_READ, &info);
  ASSERT_NE(file, nullptr) << "the WAV header was not completed";
  EXPECT_GE(info.frames, 200);
  EXPECT_EQ(static_cast<long>(std::filesystem::file_size("long.wav")), 44 + 3 * info.frames);
  sf_close(file);
}

TEST(CliPlot, DrawsOnePanelPerChannel) {
  ASSERT_EQ(run("--sim acquire -c 0-2 -n 2000 -r 102400 -o cap.csv").exit_code, 0);
  const CliRun r = run("plot cap.csv -o cap.svg");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::ifstream in("cap.svg");
  const std::string svg((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  size_t lines = 0;
  for (size_t at = svg.find("<polyline"); at != std::string::npos;
       at = svg.find("<polyline", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 3u);
  EXPECT_EQ(run("plot missing.csv").exit_code, 2);  // a file that does not exist is bad input
}

TEST(CliPlot, TimeAxisInSecondsFromATimeColumnOrTheRate) {
  CliRun r = run("--sim-profile waveform=counter acquire -c 2 -r 10000 -n 1000 --time -o t.csv");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::ifstream csv("t.csv");
  std::string header, first, second;
  std::getline(csv, header);
  std::getline(csv, first);
  std::getline(csv, second);
  EXPECT_EQ(header, "time_s,ch2");
  EXPECT_EQ(first, "0,131072");
  EXPECT_EQ(second, "0.0001,131073");

  auto svg_of = [](const std::string &path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  ASSERT_EQ(run("plot t.csv -o t.svg").exit_code, 0);
  std::string svg = svg_of("t.svg");
  EXPECT_NE(svg.find(">0.0999 s<"), std::string::npos) << svg.substr(svg.size() - 400);
  EXPECT_EQ(svg.find("<polyline"), svg.rfind("<polyline")) << "the time column is no panel";

  ASSERT_EQ(run("--sim acquire -c 0 -r 10000 -n 500 -o plain.csv").exit_code, 0);
  ASSERT_EQ(run("plot plain.csv --rate 1000 -o plain.svg").exit_code, 0);
  svg = svg_of("plain.svg");
  EXPECT_NE(svg.find(">0.499 s<"), std::string::npos) << svg.substr(svg.size() - 400);
}

TEST(CliInfo, ListInfoAndDoctorDescribeTheInstrument) {
  CliRun r = run("--sim list");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("1 instrument(s)"), std::string::npos) << r.output;
  r = run("--sim info");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("input channels   8 of 24 bits"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("output channels  2 of 24 bits"), std::string::npos) << r.output;
  r = run("doctor");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.output.find("no instrument found"), std::string::npos) << r.output;
  EXPECT_EQ(run("--sim doctor").exit_code, 0);
}

TEST(CliAux, AuxiliaryCommandsRunAgainstTheInstrument) {
  EXPECT_EQ(run("--sim gpio --pins 0x5 --mode 2").exit_code, 0);
  EXPECT_EQ(run("--sim dio --port 1 --write 165").exit_code, 0);
  CliRun r = run("--sim dio --port 1");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("0x"), std::string::npos);
  EXPECT_EQ(run("--sim pwm --pin 1 --frequency 1000 --duty 25").exit_code, 0);
  EXPECT_EQ(run("--sim counter --pin 0 --mode 1 --edge 0").exit_code, 0);
  r = run("--sim counter --pin 0");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("edges"), std::string::npos);
  EXPECT_EQ(run("--sim i2c --reg 16 --write 0102").exit_code, 0);
  EXPECT_EQ(run("--sim i2c --reg 16 --length 2").exit_code, 0);
  EXPECT_EQ(run("--sim i2c --reg 16 --write 0x1").exit_code, 2);
  EXPECT_EQ(run("--sim uart --baud 115200 --send hello --read 5").exit_code, 0);
  EXPECT_EQ(run("--sim serial SN0001").exit_code, 0);
  EXPECT_EQ(run("--sim serial 12345678901234567").exit_code, 2);
}

TEST(CliFirmware, WritesAndVerifiesAFile) {
  {
    std::ofstream out("fw.bin", std::ios::binary);
    for (int i = 0; i < 10000; ++i) out.put(static_cast<char>(i * 7));
  }
  const CliRun r = run("--sim firmware fw.bin");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("verified"), std::string::npos) << r.output;
  EXPECT_NE(run("--sim firmware missing.bin").exit_code, 0);
}

TEST(CliGenerate, PlaysAWaveform) {
  const CliRun r = run("--sim generate -c 0-1 -r 102400 -w sine --frequency 100 -n 2000");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("generated 2000 samples per channel"), std::string::npos) << r.output;
  EXPECT_EQ(run("--sim generate -w triangle -n 10").exit_code, 2);
}

}  // namespace
