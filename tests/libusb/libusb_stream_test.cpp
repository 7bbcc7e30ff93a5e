// Streaming through libusb: the counter pattern numbers every frame, so a lost, repeated or
// reordered sample shows; and the rate the path sustains, beside the in-process instrument's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "libusb/fake_usbfs.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {
namespace {

uint32_t sample_at(const uint8_t *p, int size) {
  uint32_t v = 0;
  for (int i = 0; i < size; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

class LibusbStream : public ::testing::Test {
 protected:
  void TearDown() override {
    vexdaq_dispose_buffers();
    vexdaq_device_close();
    vexdaq_sim_reset();
  }

  // Streams for `seconds` and returns the input bytes per second the application received.
  static double input_rate(double seconds, int channels, int bytes_per_sample) {
    constexpr int kBlock = 2048;
    std::vector<uint8_t> buffer(static_cast<size_t>(channels * kBlock * bytes_per_sample));
    EXPECT_EQ(vexdaq_start(), 0);
    const auto begin = std::chrono::steady_clock::now();
    uint64_t bytes = 0;
    double elapsed = 0;
    while (elapsed < seconds) {
      const int32_t n = vexdaq_recv_all_data(0, buffer.data(), kBlock * bytes_per_sample, 1);
      if (n <= 0) break;
      bytes += static_cast<uint64_t>(n) * static_cast<uint64_t>(channels);
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    }
    EXPECT_EQ(vexdaq_stop(), 0);
    return elapsed > 0 ? static_cast<double>(bytes) / elapsed : 0;
  }

  FakeUsbBus bus_;
};

// Free pacing: the instrument makes frames as fast as the host takes them, so it never drops one
// of its own and every gap would be the path's.
TEST_F(LibusbStream, CounterPatternArrivesCompleteForThreeSeconds) {
  constexpr int kChannels = 8;
  constexpr int kBits = 24;
  constexpr int kSize = kBits / 8;
  auto instrument =
      bus_.add_instrument("4", "waveform=counter;pacing=free;in_channels=8;in_bits=24");
  ASSERT_EQ(vexdaq_device_open(0), 0);
  ASSERT_EQ(vexdaq_create_buffers(1024, 1 << 18), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0xFF), 0);
  ASSERT_EQ(vexdaq_reset_loss_counters(), 0);
  ASSERT_EQ(vexdaq_start(), 0);

  constexpr int kBlock = 4096;
  constexpr uint32_t kMask = (1u << (kBits - 8)) - 1;
  std::vector<uint8_t> buffer(static_cast<size_t>(kChannels * kBlock * kSize));
  std::vector<uint32_t> next(kChannels, 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int64_t got = 0;
  for (; std::chrono::steady_clock::now() < end; got += kBlock) {
    ASSERT_EQ(vexdaq_recv_all_data(0, buffer.data(), kBlock * kSize, 1), kBlock * kSize);
    for (int c = 0; c < kChannels; ++c) {
      const uint8_t *block = &buffer[static_cast<size_t>(c * kBlock * kSize)];
      for (int i = 0; i < kBlock; ++i) {
        const uint32_t value = sample_at(block + i * kSize, kSize);
        ASSERT_EQ(value >> (kBits - 8), static_cast<uint32_t>(c)) << "sample " << got + i;
        ASSERT_EQ(value & kMask, next[static_cast<size_t>(c)])
            << "channel " << c << " sample " << got + i;
        next[static_cast<size_t>(c)] = (next[static_cast<size_t>(c)] + 1) & kMask;
      }
    }
  }
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_GT(got, 0);
  std::printf("counter pattern: %lld samples per channel checked\n", static_cast<long long>(got));
  EXPECT_EQ(instrument->counters().rx_dropped_frames, 0u);
  vexdaq_loss_counters total{};
  ASSERT_EQ(vexdaq_get_loss_counters(1, VEXDAQ_ALL_CHANNELS, &total), 0);
  EXPECT_EQ(total.overwritten, 0u);
  EXPECT_EQ(total.dropped, 0u);
  EXPECT_EQ(total.transfer_failures, 0u);
}

// Not a pass/fail measure: the numbers go to the output (and the test's XML properties).
TEST_F(LibusbStream, ThroughputBesideTheInProcessInstrument) {
  const std::string profile = "waveform=counter;pacing=free;in_channels=8;in_bits=16";
  bus_.add_instrument("4", profile);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  ASSERT_EQ(vexdaq_create_buffers(1024, 1 << 16), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0xFF), 0);
  const double over_libusb = input_rate(1.0, 8, 2);
  vexdaq_dispose_buffers();
  vexdaq_device_close();

  ASSERT_GE(vexdaq_sim_plug(("exclusive=1;" + profile).c_str()), 0);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  ASSERT_EQ(vexdaq_create_buffers(1024, 1 << 16), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0xFF), 0);
  const double in_process = input_rate(1.0, 8, 2);

  std::printf("input throughput: libusb (faked usbfs) %.2f MB/s, in-process %.2f MB/s\n",
              over_libusb / 1e6, in_process / 1e6);
  RecordProperty("libusb_bytes_per_second", std::to_string(static_cast<int64_t>(over_libusb)));
  RecordProperty("in_process_bytes_per_second", std::to_string(static_cast<int64_t>(in_process)));
  EXPECT_GT(over_libusb, 0);
  EXPECT_GT(in_process, 0);
}

}  // namespace
}  // namespace vexdaq::testing
