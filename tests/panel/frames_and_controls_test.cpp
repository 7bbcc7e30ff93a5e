// The binary frame layout byte by byte, the control checks and the access policy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "control/controls.h"
#include "display/frame_layout.h"
#include "display/spectrum.h"
#include "server/access_policy.h"

namespace vexdaq_panel {
namespace {

template <typename T>
T at(const std::vector<uint8_t> &bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

TEST(FrameLayout, ScopeFrameHeaderIdsAndColumnsSitWhereTheLayoutSays) {
  ScopeFrameInfo info;
  info.columns = 2;
  info.rate = 625000;
  info.sample_bits = 32;
  info.samples_per_column = 7;
  info.first_frame = -3;
  info.triggered = true;
  info.trigger_column = 1;
  const std::vector<uint8_t> ids{5, 9};
  const std::vector<int32_t> minima{-1, -2, -3, -4};
  const std::vector<int32_t> maxima{1, 2, 3, 4};
  const auto f = encode_scope_frame(info, ids, minima, maxima);
  ASSERT_EQ(f.size(), 40u + 4 + 2 * 2 * 2 * 4);
  EXPECT_EQ(std::memcmp(f.data(), "VXDP", 4), 0);
  EXPECT_EQ(at<uint16_t>(f, 4), 1);
  EXPECT_EQ(at<uint16_t>(f, 6), 1);
  EXPECT_EQ(at<uint16_t>(f, 8), 2);
  EXPECT_EQ(at<uint16_t>(f, 10), 1);
  EXPECT_EQ(at<uint32_t>(f, 12), 2u);
  EXPECT_EQ(at<uint32_t>(f, 16), 625000u);
  EXPECT_EQ(at<uint32_t>(f, 20), 32u);
  EXPECT_EQ(at<uint32_t>(f, 24), 7u);
  EXPECT_EQ(at<uint32_t>(f, 28), 1u);
  EXPECT_EQ(at<int64_t>(f, 32), -3);
  EXPECT_EQ(f[40], 5);
  EXPECT_EQ(f[41], 9);
  EXPECT_EQ(f[42], 0);
  EXPECT_EQ(at<int32_t>(f, 44), -1);  // channel 5: min, min, max, max
  EXPECT_EQ(at<int32_t>(f, 52), 1);
  EXPECT_EQ(at<int32_t>(f, 60), -3);  // channel 9
  EXPECT_EQ(at<int32_t>(f, 72), 4);
}

TEST(FrameLayout, SpectrumFrameCarriesItsBins) {
  const std::vector<float> levels{-6.0f, -120.5f, 0.0f};
  const auto f = encode_spectrum_frame(3, 1, 51200, 4, levels);
  ASSERT_EQ(f.size(), 24u + 12);
  EXPECT_EQ(at<uint16_t>(f, 6), 2);
  EXPECT_EQ(at<uint16_t>(f, 8), 3);
  EXPECT_EQ(at<uint16_t>(f, 10), 1);
  EXPECT_EQ(at<uint32_t>(f, 12), 3u);
  EXPECT_EQ(at<uint32_t>(f, 16), 51200u);
  EXPECT_EQ(at<uint32_t>(f, 20), 4u);
  EXPECT_EQ(at<float>(f, 28), -120.5f);
}

TEST(Spectrum, FullScaleSineReadsZeroDecibelsInItsBin) {
  const uint32_t n = 1024;
  std::vector<int32_t> samples(n);
  const double full = 8388607;
  for (uint32_t i = 0; i < n; ++i)
    samples[i] =
        static_cast<int32_t>(std::lround(full * std::sin(2 * std::numbers::pi * 64 * i / n)));
  for (auto window :
       {SpectrumWindow::kRectangular, SpectrumWindow::kHann, SpectrumWindow::kBlackmanHarris}) {
    Spectrum spectrum(n, window, 1, full);
    const auto &levels = spectrum.add(samples.data());
    EXPECT_NEAR(levels[64], 0.0, 0.05);
    EXPECT_LT(levels[200], -100.0);
  }
}

DeviceFacts facts() {
  DeviceFacts f;
  f.in_channels = 8;
  f.out_channels = 2;
  f.in_bits = 24;
  f.in_rates = {1000, 51200};
  f.enabled_inputs = 8;
  f.in_rate = 51200;
  return f;
}

std::string error_of(const std::string &body) {
  try {
    parse_control(body, facts());
  } catch (const ControlError &e) {
    return e.what();
  }
  return "";
}

TEST(Controls, ValidRequestsBecomeTheirCommands) {
  const auto pwm = std::get<Pwm>(
      parse_control(R"({"action":"pwm","pin":2,"frequency":1000,"duty":30})", facts()));
  EXPECT_EQ(pwm.pin, 2);
  EXPECT_EQ(pwm.duty, 30);
  const auto channels =
      std::get<SetChannels>(parse_control(R"({"action":"channels","channels":[5,0]})", facts()));
  EXPECT_EQ(channels.channels, (std::vector<int>{0, 5}));
  const auto i2c = std::get<I2cWrite>(
      parse_control(R"({"action":"i2c_write","reg":16,"data":"01 a0:FF"})", facts()));
  EXPECT_EQ(i2c.bytes, (std::vector<uint8_t>{0x01, 0xA0, 0xFF}));
  const auto scope = std::get<ScopeSettings>(parse_control(
      R"({"action":"scope","mode":"triggered","timebase_s":0.01,"columns":800,"trigger_channel":3,)"
      R"("level":-8388608,"edge":"falling","pre_trigger":0.1,"sweep":"single"})",
      facts()));
  EXPECT_TRUE(scope.triggered);
  EXPECT_FALSE(scope.rising);
  EXPECT_EQ(scope.sweep, SweepMode::kSingle);
}

TEST(Controls, BadRequestsAreRefusedWithAReason) {
  EXPECT_EQ(error_of("not json"), "the request is not a JSON object");
  EXPECT_EQ(error_of(R"({"action":"launch"})"), "unknown action 'launch'");
  EXPECT_EQ(error_of(R"({"action":"dio_write","port":0})"), "'value' is missing");
  EXPECT_EQ(error_of(R"({"action":"dio_write","port":0,"value":256})"),
            "'value' must lie in 0 .. 255");
  EXPECT_EQ(error_of(R"({"action":"dio_write","port":0,"value":1.5})"),
            "'value' must be a whole number");
  EXPECT_EQ(error_of(R"({"action":"pwm","pin":0,"frequency":-1,"duty":0})"),
            "'frequency' must lie in 0 .. 2147483647");
  EXPECT_EQ(error_of(R"({"action":"channels","channels":[1,1]})"), "channel 1 is listed twice");
  EXPECT_EQ(error_of(R"({"action":"channels","channels":[8]})"), "channels lie in 0 .. 7");
  EXPECT_EQ(error_of(R"({"action":"rate","rate":3000})"), "unsupported input rate 3000 Hz");
  EXPECT_EQ(
      error_of(R"({"action":"spectrum","channel":0,"size":1000,"window":"hann","averages":1})"),
      "'size' must be a power of two");
  EXPECT_EQ(error_of(R"({"action":"i2c_write","reg":0,"data":"0"})"),
            "hex data needs two digits per byte");
  EXPECT_EQ(error_of(R"({"action":"scope","mode":"rolling","timebase_s":1e999,"columns":800})"),
            "the request is not a JSON object");
  EXPECT_EQ(
      error_of(std::string(R"({"action":"uart_write","text":")") + std::string(5000, 'x') + "\"}"),
      "'text' holds at most 4096 bytes");
  // 2 s at 625 kHz on 8 channels is more than a sweep may hold.
  DeviceFacts fast = facts();
  fast.in_rate = 625000;
  EXPECT_THROW(parse_control(R"({"action":"scope","mode":"triggered","timebase_s":2,"columns":800,)"
                             R"("trigger_channel":0,"level":0,"edge":"rising","pre_trigger":0.5,)"
                             R"("sweep":"auto"})",
                             fast),
               ControlError);
}

TEST(Controls, RecordingNamesStayInsideTheRecordingFolder) {
  EXPECT_EQ(error_of(R"({"action":"record_start","name":"../x.h5"})"),
            "a file name may hold letters, digits, '-', '_' and '.' only");
  EXPECT_EQ(error_of(R"({"action":"record_start","name":"/etc/x.h5"})"),
            "a file name may hold letters, digits, '-', '_' and '.' only");
  EXPECT_EQ(error_of(R"({"action":"record_start","name":".h5"})"),
            "a file name may not start with '.'");
  EXPECT_EQ(error_of(R"({"action":"record_start","name":"run.txt"})"),
            "a recording's name ends in .h5 or .hdf5");
  EXPECT_EQ(error_of(R"({"action":"record_start","name":"run-1.h5"})"), "");
}

TEST(AccessPolicy, LoopbackPanelRefusesForeignHostsAndOrigins) {
  AccessPolicy policy;
  policy.hosts = panel_hosts("127.0.0.1", 8765);
  const char *own = "http://127.0.0.1:8765";
  EXPECT_EQ(policy.check("127.0.0.1:8765", own, nullptr, nullptr, true), Access::kAllowed);
  EXPECT_EQ(policy.check("localhost:8765", "http://localhost:8765", nullptr, nullptr, true),
            Access::kAllowed);
  EXPECT_EQ(policy.check("127.0.0.1:8765", nullptr, nullptr, nullptr, true), Access::kAllowed);
  EXPECT_EQ(policy.check("127.0.0.1:8765", "http://evil.example", nullptr, nullptr, true),
            Access::kBadOrigin);
  // A page served by localhost:8765 may not drive the panel as 127.0.0.1:8765.
  EXPECT_EQ(policy.check("127.0.0.1:8765", "http://localhost:8765", nullptr, nullptr, true),
            Access::kBadOrigin);
  EXPECT_EQ(policy.check("127.0.0.1:8765", "http://evil.example", nullptr, nullptr, false),
            Access::kAllowed);  // reading the page is no change
  EXPECT_EQ(policy.check("rebound.example:8765", nullptr, nullptr, nullptr, false),
            Access::kBadHost);
  EXPECT_EQ(policy.check(nullptr, nullptr, nullptr, nullptr, false), Access::kBadHost);
}

TEST(AccessPolicy, PanelBeyondLoopbackNeedsItsToken) {
  AccessPolicy policy;
  policy.hosts = panel_hosts("0.0.0.0", 80);
  policy.token = "0123456789abcdef0123456789abcdef";
  EXPECT_TRUE(policy.hosts.empty());
  EXPECT_EQ(policy.check("10.0.0.5:80", nullptr, nullptr, nullptr, false), Access::kBadToken);
  EXPECT_EQ(policy.check("10.0.0.5:80", nullptr, "a=1&token=0123456789abcdef0123456789abcdef",
                         nullptr, false),
            Access::kAllowed);
  EXPECT_EQ(policy.check("10.0.0.5:80", "http://10.0.0.5:80", nullptr,
                         "x=1; vexdaq_panel_token=0123456789abcdef0123456789abcdef", true),
            Access::kAllowed);
  EXPECT_EQ(policy.check("10.0.0.5:80", nullptr, "token=0123456789abcdef0123456789abcdee", nullptr,
                         false),
            Access::kBadToken);
  EXPECT_EQ(policy.check("10.0.0.5:80", "http://other:80", "token=0123456789abcdef0123456789abcdef",
                         nullptr, true),
            Access::kBadOrigin);
  EXPECT_EQ(panel_hosts("::1", 9), (std::vector<std::string>{"[::1]:9", "localhost:9"}));
  EXPECT_EQ(random_token().size(), 32u);
  EXPECT_NE(random_token(), random_token());
}

}  // namespace
}  // namespace vexdaq_panel
