// Captures describe themselves: units from a scale file, a CSV header, the raw sidecar, HDF5
// attributes, and a WAV written to a pipe that readers accept.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_run.h"

namespace {

using vexdaq_cli_test::contains;
using vexdaq_cli_test::run;

std::vector<std::string> lines_of(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void write_scale_file() {
  std::ofstream("bench.json") << R"({
    "gear_full_scale_volts": {"0": 10.0, "1": 1.0},
    "default_gear": 0,
    "channels": {"0": {"sensitivity": 0.1, "unit": "g"}, "1": {"gear": 1, "offset": -0.5}}
  })";
}

TEST(CliUnits, CsvHoldsValuesInUnitsAndItsHeaderSaysWhich) {
  write_scale_file();
  const auto r =
      run("--sim-profile waveform=counter acquire -c 0,1,3 -r 10000 -n 100 --scale bench.json "
          "--csv-header -o cap.csv");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const auto lines = lines_of("cap.csv");
  ASSERT_GE(lines.size(), 109u);
  EXPECT_EQ(lines[0], "# vexdaq capture");
  EXPECT_EQ(lines[1], "# rate_hz: 10000");
  EXPECT_EQ(lines[2].rfind("# start_time: 20", 0), 0u) << lines[2];
  EXPECT_EQ(lines[4], "# units: g,V,V");
  EXPECT_EQ(lines[8], "ch0 (g),ch1 (V),ch3 (V)");
  // Frame 5 of the counter pattern: (channel << 16) | 5 counts.
  std::stringstream row(lines[9 + 5]);
  std::vector<double> values;
  for (std::string cell; std::getline(row, cell, ',');) values.push_back(std::stod(cell));
  const double step = 1.0 / (1 << 23);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_NEAR(values[0], 5 * 10 * step / 0.1, 1e-9);
  EXPECT_NEAR(values[1], ((1 << 16) | 5) * 1 * step - 0.5, 1e-9);
  EXPECT_NEAR(values[2], ((3 << 16) | 5) * 10 * step, 1e-9);
  // The summary speaks the units too.
  EXPECT_TRUE(contains(r.output, " g\n")) << r.output;
}

TEST(CliUnits, ABadScaleFileIsRefusedBeforeTheInstrumentIsOpened) {
  std::ofstream("typo.json") << R"({"gear_full_scale_volts": {"0": 10}, "chanels": {}})";
  std::ofstream("nojson.json") << "gear 0 = 10 V";
  const std::pair<const char *, const char *> cases[] = {
      {"--sim acquire -n 10 --scale typo.json", "unknown key 'chanels'"},
      {"--sim acquire -n 10 --scale nojson.json", "not valid JSON"},
      {"--sim acquire -n 10 --scale missing.json", "cannot open the scale file"},
      {"acquire -n 10 --scale sim", "add --sim"},
  };
  for (const auto &[arguments, message] : cases) {
    const auto r = run(arguments);
    EXPECT_EQ(r.exit_code, 2) << arguments << "\n" << r.output;
    EXPECT_TRUE(contains(r.output, message)) << arguments << "\n" << r.output;
  }
}

TEST(CliFormats, RawHasASidecarDescribingItsLayout) {
  write_scale_file();
  ASSERT_EQ(run("--sim acquire -c 0-1 -r 10000 -n 500 --scale bench.json -o cap.raw").exit_code, 0);
  std::ifstream in("cap.raw.json");
  ASSERT_TRUE(in.good());
  const auto sidecar = nlohmann::json::parse(in);
  EXPECT_EQ(sidecar["frames"], 500);
  EXPECT_EQ(sidecar["sample_bytes"], 3);
  EXPECT_EQ(sidecar["rate_hz"], 10000);
  EXPECT_EQ(sidecar["channels"], nlohmann::json::array({0, 1}));
  EXPECT_EQ(sidecar["units"], nlohmann::json::array({"g", "V"}));
  EXPECT_NEAR(sidecar["offset"][1].get<double>(), -0.5, 1e-12);
}

TEST(CliFormats, WavToAPipeCarriesSizesReadersAccept) {
  ASSERT_EQ(run("--sim acquire -c 0-1 -r 10000 -n 3000 -f wav -o - > pipe.wav").exit_code, 0);
  std::ifstream in("pipe.wav", std::ios::binary);
  std::vector<unsigned char> header(44);
  in.read(reinterpret_cast<char *>(header.data()), 44);
  const auto le32 = [&](size_t at) {
    return header[at] | header[at + 1] << 8 | header[at + 2] << 16 |
           static_cast<uint32_t>(header[at + 3]) << 24;
  };
  EXPECT_EQ(le32(40), 3000u * 6);
  EXPECT_EQ(le32(4), 3000u * 6 + 36);
  SF_INFO info{};
  SNDFILE *file = sf_open("pipe.wav", SFM_READ, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.frames, 3000);
  EXPECT_EQ(info.channels, 2);
  sf_close(file);
}

}  // namespace
