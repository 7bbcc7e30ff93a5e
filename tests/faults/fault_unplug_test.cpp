// A cable pulled at every stage of a session: the library reports it, keeps what it delivered,
// releases every caller and leaves nothing behind.
#include <atomic>
#include <thread>
#include <vector>

#include "faults/fault_fixture.h"
#include "session/session_state.h"
#include "stream/stream_state.h"

namespace vexdaq::testing {
namespace {

using Unplug = FaultTest;

// Input only: with an output stream too, whichever thread notices the cable first reports it.
constexpr const char *kCounterStream =
    "waveform=counter;pacing=realtime;in_channels=4;out_channels=0;in_bits=32;in_rates=102400";

// Pulls the instrument's cable from another thread once `delay` has passed.
std::thread unplug_after(int32_t id, std::chrono::microseconds delay) {
  return std::thread([id, delay] {
    std::this_thread::sleep_for(delay);
    vexdaq_sim_unplug(id);
  });
}

TEST_F(Unplug, BetweenListingAndOpeningFailsTheOpenCleanly) {
  const int32_t id = plug();
  ASSERT_EQ(vexdaq_device_list(), 1);
  ASSERT_EQ(vexdaq_sim_unplug(id), 0);
  EXPECT_EQ(vexdaq_device_open(0), -1);
  EXPECT_TRUE(log_has("vexdaq_device_open failed\r\n"));
  expect_session_closed();
}

// The cable goes at some moment during the open. Whatever the open then reports, the session it
// leaves refuses or serves calls without hanging, and the close takes everything down.
TEST_F(Unplug, DuringOpenLeavesASessionThatClosesCleanly) {
  for (int round = 0; round < 12; ++round) {
    const int32_t id = plug();
    // Across the ~4 ms start-up.
    std::thread cable = unplug_after(id, std::chrono::microseconds(400 * round));
    const int32_t opened = vexdaq_device_open(0);
    cable.join();
    EXPECT_TRUE(opened == 0 || opened == -1) << opened;
    if (opened == 0) {
      uint8_t port = 0;
      EXPECT_EQ(returns_within(5, [] { return vexdaq_start(); }),
                g_session.session_token.load() != 0 ? 0 : -1);
      EXPECT_GE(vexdaq_digital_io_read(0, &port, 1), -1);
      vexdaq_device_close();
    }
    expect_session_closed();
    vexdaq_sim_reset();
  }
}

TEST_F(Unplug, WhileStreamingFailsTheWaitingCallAndKeepsWhatWasDelivered) {
  const int32_t id = open(kCounterStream);
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 1024, .in_capacity = 1 << 17, .out_mask = 0, .in_mask = 0x1}));
  CounterCheck check{32, 0};
  ASSERT_NO_FATAL_FAILURE(receive_counter_blocks(check, 4096, 4));
  // Frames the instrument dropped after the last one read are counted but not yet seen.
  EXPECT_LE(check.skipped, device_dropped());
  std::vector<uint8_t> buffer(4096 * 4);

  ASSERT_EQ(vexdaq_sim_unplug(id), 0);
  // More than the device will ever send now: the failure releases the call.
  EXPECT_EQ(returns_within(10, [&] { return vexdaq_recv_data(0, buffer.data(), 4096 * 4, 1); }),
            -1);
  // The core has stopped the failed stream by now or soon will; either way the failure stands
  // until the application has seen it, and then the stream is simply stopped.
  EXPECT_EQ(vexdaq_recv_data(0, buffer.data(), 4, 0), -1) << "refused until the stream stops";
  EXPECT_EQ(vexdaq_recv_all_data(0, buffer.data(), 4, 1), -1) << "not a wait for ever";
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(vexdaq_recv_data(0, buffer.data(), 4, 0), 0) << "stopped until the next start";
  // Reported as soon as a transfer completes with the device's absence, or when none completes.
  EXPECT_TRUE(log_has("hReadEvent failed retval = 0x"));
  EXPECT_TRUE(log_has(" status = 0xE000100A.\r\n"));
  EXPECT_TRUE(log_has("usbio_device_post_data_xfer - device is not presetn\r\n"));
  EXPECT_EQ(loss(true).transfer_failures, 1u);
  EXPECT_EQ(g_stream.core_failed.load(), 0) << "the stop clears the failure";
  // The session itself stays usable; its requests fail and are logged.
  uint8_t port = 0x5A;
  EXPECT_EQ(vexdaq_digital_io_read(0, &port, 1), 0);
  EXPECT_EQ(port, 0x5A);
  EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0xE7) failed, status = 0xE000100A.\n"));
  vexdaq_device_close();
  expect_session_closed();
}

TEST_F(Unplug, WhileOutputStreamsFailsTheWaitingSender) {
  const int32_t id =
      open("pacing=realtime;in_channels=0;out_channels=2;out_bits=16;out_rates=1000");
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 4096, .in_capacity = 16, .out_mask = 0x3, .in_mask = 0}));
  // Until the instrument's own 64 kB buffer is full the stream drains the FIFO as fast as it is
  // filled; after that only at the played-out rate of 4 kB/s, one packet every 128 ms.
  for (int waited = 0; waited < 5000 && vexdaq_sim_counter(id, "tx_bytes") < (64 << 10); ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<uint8_t> block(4096 * 2, 0x11);
  int32_t blocks = 0;
  while (vexdaq_send_data(0, block.data(), 1024 * 2, 0) == 1024 * 2) ASSERT_LT(++blocks, 64);
  ASSERT_EQ(vexdaq_sim_unplug(id), 0);
  // Over 3000 samples wait in the FIFO and only a moving stream makes room for the whole 4096:
  // the failure must release the sender first.
  EXPECT_EQ(returns_within(10, [&] { return vexdaq_send_data(0, block.data(), 4096 * 2, 1); }), -1);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_TRUE(log_has("hWriteEvent failed retval = 0x"));
  EXPECT_TRUE(log_has(" status = 0xE000100A.\r\n"));
  EXPECT_EQ(loss(false).transfer_failures, 1u);
}

// Unpaced, the instrument takes each transfer as it is started, so when the cable goes none is
// pending: the stream learns of it from the next transfer the driver refuses to start. That is
// a failure at once, with the driver's reason, not a wait of 1500 ms for a transfer that never
// began, and not a packet dropped without a word.
TEST_F(Unplug, ATransferRefusedAtItsStartFailsTheStreamAtOnce) {
  for (const bool input : {true, false}) {
    SCOPED_TRACE(input ? "input" : "output");
    // One direction only: the other would notice the cable first.
    const int32_t id = open(input ? "pacing=free;in_channels=2;out_channels=0;in_bits=16"
                                  : "pacing=free;in_channels=0;out_channels=2;out_bits=16");
    ASSERT_NO_FATAL_FAILURE(start_stream({.out_capacity = 4096,
                                          .in_capacity = 4096,
                                          .out_mask = input ? 0u : 0x1u,
                                          .in_mask = input ? 0x1u : 0u}));
    std::vector<uint8_t> block(1024 * 2, 0x11);
    auto move = [&] {
      return input ? vexdaq_recv_data(0, block.data(), 1024 * 2, 1)
                   : vexdaq_send_data(0, block.data(), 1024 * 2, 1);
    };
    ASSERT_EQ(move(), 1024 * 2);
    ASSERT_EQ(vexdaq_sim_unplug(id), 0);
    // Blocks already in the FIFO may still move; the FIFO holds four.
    int32_t result = 0;
    for (int call = 0; call < 8 && result != -1; ++call) result = returns_within(10, move);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(vexdaq_stop(), 0);
    // Refused at its start (retval 0xffffffff), or, when the cable went while one of the deeper
    // queue's transfers was still with the instrument, completed with the same status (0x0).
    const std::string line = input ? "hReadEvent failed retval = " : "hWriteEvent failed retval = ";
    EXPECT_TRUE(log_has(line + "0xffffffff status = 0xE000100A.\r\n") ||
                log_has(line + "0x0 status = 0xE000100A.\r\n"))
        << read_log();
    EXPECT_FALSE(log_has("retval = 0x102")) << "no transfer was left to time out";
    EXPECT_EQ(loss(input).transfer_failures, 1u);
    vexdaq_dispose_buffers();
    vexdaq_device_close();
    expect_session_closed();
    vexdaq_sim_reset();
  }
}

// Callers blocked in synchronous commands when the cable goes are all released; each command
// still returns 0 and its failure is in the log.
TEST_F(Unplug, DuringSynchronousCommandsReleasesEveryCaller) {
  const int32_t id = open();
  std::atomic<int> calls{0};
  std::atomic<int> wrong{0};
  std::atomic<bool> unplugged{false};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&, t] {
      // Calls go on until the cable has gone, and twenty more after that.
      int after = 0;
      for (int i = 0; after < 20; ++i) {
        if (unplugged.load()) ++after;
        uint8_t port = 0;
        uint32_t edges = 0, cycle = 0, positive = 0, negative = 0;
        int32_t result = 0;
        switch ((t + i) % 3) {
          case 0:
            result = vexdaq_digital_io_read(i % 8, &port, 1);
            break;
          case 1:
            result = vexdaq_set_trigger_mode(1, 0, 1, 100, 0, 1);
            break;
          default:
            result = vexdaq_counter_read(i % 4, &edges, &cycle, &positive, &negative);
        }
        if (result != 0) wrong.fetch_add(1);
        calls.fetch_add(1);
      }
    });
  }
  while (calls.load() < 30) std::this_thread::yield();
  ASSERT_EQ(vexdaq_sim_unplug(id), 0);
  unplugged.store(true);
  for (std::thread &caller : callers) caller.join();
  EXPECT_GE(calls.load(), 90);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(log_has("failed, status = 0xE000100A.\n"));
  EXPECT_EQ(vexdaq_set_pwm(1, 1000, 50), 0) << "still accepted after the cable went";
}

TEST_F(Unplug, DuringCloseStillReleasesEverything) {
  for (int round = 0; round < 4; ++round) {
    const int32_t id = open(kCounterStream);
    ASSERT_NO_FATAL_FAILURE(
        start_stream({.out_capacity = 1024, .in_capacity = 4096, .out_mask = 0, .in_mask = 0xF}));
    std::thread cable = unplug_after(id, std::chrono::milliseconds(3 * round));
    vexdaq_device_close();
    cable.join();
    expect_session_closed();
    vexdaq_dispose_buffers();
    vexdaq_sim_reset();
  }
}

TEST_F(Unplug, ReplugAndReopenStreamsAgain) {
  const int32_t id = open(kCounterStream);
  constexpr StreamSetup kTwoInputs = {
      .out_capacity = 1024, .in_capacity = 1 << 16, .out_mask = 0, .in_mask = 0x3};
  ASSERT_NO_FATAL_FAILURE(start_stream(kTwoInputs));
  std::vector<uint8_t> buffer(4096 * 4);
  ASSERT_EQ(vexdaq_recv_data(1, buffer.data(), 4096 * 4, 1), 4096 * 4);

  ASSERT_EQ(vexdaq_sim_fault(id, "replug"), 0);
  EXPECT_EQ(returns_within(10, [&] { return vexdaq_recv_data(1, buffer.data(), 60000 * 4, 1); }),
            -1);
  vexdaq_device_close();
  expect_session_closed();

  ASSERT_EQ(vexdaq_device_list(), 1) << "the instrument is back under a new path";
  ASSERT_EQ(vexdaq_device_open(0), 0);
  ASSERT_NE(g_session.session_token.load(), 0u);
  ASSERT_NO_FATAL_FAILURE(prepare_stream(kTwoInputs));
  ASSERT_EQ(vexdaq_reset_loss_counters(), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  CounterCheck check{32, 1};
  ASSERT_NO_FATAL_FAILURE(receive_counter_blocks(check, 4096, 3));
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(loss(true).transfer_failures, 0u);
}

}  // namespace
}  // namespace vexdaq::testing
