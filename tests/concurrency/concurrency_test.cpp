// Many application threads in every export at once while the device streams, and sessions
// opened and closed over and over in one process. Run under ThreadSanitizer in CI: a race, a lock
// cycle or a caller that is never released fails here.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "faults/fault_fixture.h"
#include "session/session_state.h"

namespace vexdaq::testing {
namespace {

using Concurrency = FaultTest;

// Runs each job on its own thread until `rounds` passes of every job are done, and returns the
// passes made. Every call inside must return for the threads to be joined.
int run_together(const std::vector<std::function<void(int)>> &jobs, int rounds) {
  std::atomic<int> passes{0};
  std::vector<std::thread> threads;
  for (const auto &job : jobs) {
    threads.emplace_back([&job, &passes, rounds] {
      for (int i = 0; i < rounds; ++i) {
        job(i);
        passes.fetch_add(1);
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  return passes.load();
}

TEST_F(Concurrency, EveryExportFromManyThreadsWhileStreaming) {
  open(
      "waveform=counter;pacing=free;in_channels=8;out_channels=4;in_bits=24;out_bits=24;"
      "uart_loop=1");
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 2048, .in_capacity = 2048, .out_mask = 0xF, .in_mask = 0xFF}));
  std::atomic<int> unexpected{0};
  const auto expect_in = [&](int32_t result, int32_t low, int32_t high) {
    if (result < low || result > high) unexpected.fetch_add(1);
  };

  const std::vector<std::function<void(int)>> jobs = {
      // Commands through the core, synchronous and not.
      [&](int i) {
        uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        uint32_t a = 0, b = 0, c = 0, d = 0;
        expect_in(vexdaq_set_trigger_mode(i % 3, 0, 1, i, 0, i % 2), 0, 0);
        expect_in(vexdaq_set_sample_mode(1, 0, i, 1), 0, 0);
        expect_in(vexdaq_set_input_gear(0x3, 0, static_cast<uint8_t>(i % 8)), 0, 0);
        expect_in(vexdaq_set_input_icp(0x1, static_cast<uint8_t>(i % 2)), 0, 0);
        expect_in(vexdaq_set_gpio_mode(0x3, i % 2), 0, 0);
        expect_in(vexdaq_digital_io_write(0, bytes, 1), 0, 0);
        expect_in(vexdaq_digital_io_read(0, bytes, 1), 0, 0);
        expect_in(vexdaq_set_pwm(1, 1000 + i, 50), 0, 0);
        expect_in(vexdaq_set_counter(1, 1, 0), 0, 0);
        expect_in(vexdaq_counter_read(1, &a, &b, &c, &d), 0, 0);
        expect_in(vexdaq_set_uart_line_code(9600, 0, 0, 8), 0, 0);
        expect_in(vexdaq_I2C_Reg_Write(0x10, bytes, 4), 0, 0);
        expect_in(vexdaq_I2C_Reg_Read(0x10, bytes, 4), 0, 0);
      },
      // Direct queries on the caller's thread, beside the core's own requests.
      [&](int) {
        char text[64];
        int32_t a = 0, b = 0;
        expect_in(vexdaq_get_version(text, sizeof text), 1, 63);
        expect_in(vexdaq_get_information(text, sizeof text), 1, 63);
        expect_in(vexdaq_get_driver_version(text, sizeof text), 0, 63);
        expect_in(vexdaq_get_device_name(text), 0, 31);
        expect_in(vexdaq_get_device_version(text, sizeof text), 1, 63);
        expect_in(vexdaq_get_sample_rate(&a, &b), 0, 0);
        expect_in(vexdaq_get_sample_width(&a), 0, 0);
        expect_in(vexdaq_get_channel_count(&a, &b), 0, 0);
        expect_in(vexdaq_can_sample_rate(48000, 1), -1, 0);
        expect_in(vexdaq_device_list(), 1, 1);
        vexdaq_loss_counters counters{};
        expect_in(vexdaq_get_loss_counters(1, 3, &counters), 0, 0);
        expect_in(vexdaq_get_stream_format(0, &a, &b), 0, 0);
        int32_t rates[64];
        expect_in(vexdaq_get_sample_rates(1, rates, 64), 0, 64);
      },
      // Receivers, blocking and not.
      [&](int i) {
        uint8_t buffer[8 * 256 * 3];
        expect_in(vexdaq_recv_data(i % 8, buffer, 256 * 3, i % 2), -1, 256 * 3);
        expect_in(vexdaq_recv_all_data(0, buffer, 256 * 3, 1), -1, 256 * 3);
      },
      [&](int i) {
        uint8_t buffer[8 * 64 * 3];
        expect_in(vexdaq_recv_data((i + 3) % 8, buffer, 64 * 3, 1), -1, 64 * 3);
        expect_in(vexdaq_recv_all_data(0, buffer, 64 * 3, 0), -1, 64 * 3);
      },
      // Senders.
      [&](int i) {
        uint8_t buffer[256 * 3];
        std::memset(buffer, i, sizeof buffer);
        expect_in(vexdaq_send_data(i % 4, buffer, sizeof buffer, i % 2), -1, sizeof buffer);
        expect_in(vexdaq_send_all_data(0, buffer, sizeof buffer, 1), -1, sizeof buffer);
      },
      // Channel masks and buffers change under the stream.
      [&](int i) {
        expect_in(vexdaq_set_input_channel(i % 5 == 0 ? 0 : 0xFF >> (i % 4)), 0, 0);
        expect_in(vexdaq_set_output_channel(0xF >> (i % 3)), 0, 0);
        if (i % 7 == 6) {
          expect_in(vexdaq_dispose_buffers(), 0, 0);
          expect_in(vexdaq_create_buffers(1024 + i, 2048), 0, 0);
          expect_in(vexdaq_set_input_channel(0xFF), 0, 0);
          expect_in(vexdaq_start(), 0, 0);
        }
      },
      // Start, stop and rate changes (which stop and restart a running stream).
      [&](int i) {
        if (i % 3 == 0) expect_in(vexdaq_stop(), 0, 0);
        if (i % 5 == 0) expect_in(vexdaq_set_sample_rate(48000, 48000), 0, 0);
        expect_in(vexdaq_start(), 0, 0);
        uint8_t byte = static_cast<uint8_t>(i);
        expect_in(vexdaq_UART_Write(&byte, 1), 0, 1);
        expect_in(vexdaq_UART_Read(&byte, 1), 0, 1);
      },
  };
  EXPECT_EQ(run_together(jobs, 150), static_cast<int>(jobs.size()) * 150);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(loss(true).transfer_failures, 0u);
  EXPECT_EQ(loss(false).transfer_failures, 0u);
  vexdaq_device_close();
  expect_session_closed();
}

// Opening and closing in a loop: every cycle releases what it made, whatever the session did in
// between. Four variants of fifty cycles each, so that ctest spreads the fixed pause of every
// open over its workers.
class OpenCloseCycles : public FaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(OpenCloseCycles, FiftyInOneProcess) {
  const int variant = GetParam();
  plug("waveform=counter;pacing=free;in_channels=4;out_channels=2;in_bits=16;out_bits=16");
  for (int cycle = 0; cycle < 50; ++cycle) {
    ASSERT_EQ(vexdaq_device_open(0), 0) << cycle;
    ASSERT_NE(g_session.session_token.load(), 0u) << cycle;
    std::thread lister;
    if (variant == 3) lister = std::thread([] { vexdaq_device_list(); });
    if (variant >= 1) {
      ASSERT_NO_FATAL_FAILURE(
          start_stream({.out_capacity = 512, .in_capacity = 512, .out_mask = 0x3, .in_mask = 0xF}))
          << cycle;
    }
    if (variant >= 2) {
      uint8_t buffer[4 * 64 * 2];
      EXPECT_EQ(vexdaq_recv_all_data(0, buffer, 64 * 2, 1), 64 * 2);
      EXPECT_EQ(vexdaq_send_all_data(0, buffer, 64 * 2, 1), 64 * 2);
    }
    if (lister.joinable()) lister.join();
    vexdaq_device_close();  // while streaming in variants 1 to 3
    expect_session_closed();
    if (variant == 2) {
      ASSERT_EQ(vexdaq_dispose_buffers(), -1) << "no session: refused";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, OpenCloseCycles, ::testing::Values(0, 1, 2, 3));

}  // namespace
}  // namespace vexdaq::testing
