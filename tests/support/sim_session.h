// A session through the exports on an exclusive virtual instrument, for the suites that stream:
// the fixture that plugs and opens it and takes it all down again, the set-up of a stream, and
// the checks those suites share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "core/core_state.h"
#include "device/device_state.h"
#include "session/log.h"
#include "session/session_state.h"
#include "stream/stream_state.h"
#include "support/counter_check.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {

// Every handle, lock, event, thread and flag of the session back at its closed value.
inline void expect_session_closed() {
  EXPECT_EQ(g_device.control_handle, kInvalidHandle);
  for (DeviceHandle pipe : g_device.pipe_handles) EXPECT_EQ(pipe, kInvalidHandle);
  for (int k = 0; k < kSlotCount; ++k) {
    EXPECT_EQ(g_stream.tx_slots[k].overlapped.event, nullptr);
    EXPECT_EQ(g_stream.rx_slots[k].overlapped.event, nullptr);
  }
  EXPECT_EQ(g_core.core_thread_handle, nullptr);
  EXPECT_EQ(g_core.txthread_handle, nullptr);
  EXPECT_EQ(g_core.rxthread_handle, nullptr);
  EXPECT_EQ(g_session.session_token.load(), 0u);
  EXPECT_EQ(g_session.message_available, nullptr);
  EXPECT_EQ(g_session.message_done, nullptr);
  EXPECT_EQ(g_session.message_queue, nullptr);
  EXPECT_EQ(g_device.device_descriptor, nullptr);
  EXPECT_EQ(g_device.config_descriptor, nullptr);
  EXPECT_EQ(g_stream.streaming.load(), 0);
  EXPECT_EQ(g_stream.out_active.load(), 0);
  EXPECT_EQ(g_stream.in_active.load(), 0);
  EXPECT_EQ(g_stream.core_failed.load(), 0);
  EXPECT_EQ(g_stream.core_exit.load(), 0);
  EXPECT_FALSE(log_is_open());
}

// Two 32-bit counter channels at a rate the instrument paces.
constexpr const char *kCounterInputs =
    "waveform=counter;pacing=realtime;in_channels=2;out_channels=1;in_bits=32;in_rates=102400";

// The FIFOs of a stream and the channels enabled in it; a zero mask leaves its direction as it is.
struct StreamSetup {
  int32_t out_capacity = 0;
  int32_t in_capacity = 0;
  uint64_t out_mask = 0;
  uint64_t in_mask = 0;
};

// Creates the FIFOs and enables the channels, without starting.
inline void prepare_stream(const StreamSetup &setup) {
  ASSERT_EQ(vexdaq_create_buffers(setup.out_capacity, setup.in_capacity), 0);
  if (setup.out_mask != 0) {
    ASSERT_EQ(vexdaq_set_output_channel(setup.out_mask), 0);
  }
  if (setup.in_mask != 0) {
    ASSERT_EQ(vexdaq_set_input_channel(setup.in_mask), 0);
  }
}

// Creates the FIFOs, enables the channels and starts the stream. Wrap in ASSERT_NO_FATAL_FAILURE.
inline void start_stream(const StreamSetup &setup) {
  prepare_stream(setup);
  ASSERT_EQ(vexdaq_start(), 0);
}

// Receives `blocks` blocks of `samples` samples of the checked input channel, waiting for each,
// and checks every one against the counter pattern.
inline void receive_counter_blocks(CounterCheck &check, int samples, int blocks = 1) {
  const int size = check.bits / 8;
  std::vector<uint8_t> buffer(static_cast<size_t>(samples * size));
  for (int block = 0; block < blocks; ++block) {
    ASSERT_EQ(vexdaq_recv_data(check.channel, buffer.data(), samples * size, 1), samples * size)
        << "block " << block;
    ASSERT_EQ(check.take_block(buffer.data(), samples), "") << "block " << block;
  }
}

inline vexdaq_loss_counters loss(bool input, int32_t channel = VEXDAQ_ALL_CHANNELS) {
  vexdaq_loss_counters counters{};
  EXPECT_EQ(vexdaq_get_loss_counters(input ? 1 : 0, channel, &counters), 0);
  return counters;
}

// Starts and ends without an instrument, a session or buffers.
class SimSessionTest : public ::testing::Test {
 public:
  void SetUp() override { vexdaq_sim_reset(); }

  void TearDown() override {
    vexdaq_dispose_buffers();  // the channel tables outlive a session
    vexdaq_device_close();
    vexdaq_sim_reset();
  }

  // Plugs an exclusive instrument with the profile; fails the test when it is refused.
  int32_t plug(const std::string &profile = {}) {
    const int32_t id = vexdaq_sim_plug(("exclusive=1;" + profile).c_str());
    EXPECT_GE(id, 0) << profile;
    sim_ = id;
    return id;
  }

  // Plugs and opens; the session must come up. The loss counters (they outlive sessions) start
  // from zero.
  int32_t open(const std::string &profile = {}) {
    const int32_t id = plug(profile);
    EXPECT_EQ(vexdaq_device_open(0), 0);
    EXPECT_NE(g_session.session_token.load(), 0u);
    EXPECT_EQ(vexdaq_reset_loss_counters(), 0);
    return id;
  }

  // Runs a call that must return on its own; gives up after `seconds` and releases it (stopping
  // the stream, then taking its buffers away) so that a hang fails the test, not the whole run.
  template <typename Call>
  static int32_t returns_within(double seconds, Call call) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready) {
      ADD_FAILURE() << "the call did not return within " << seconds << " s";
      vexdaq_stop();
      if (result.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
        vexdaq_dispose_buffers();
      }
    }
    return result.get();
  }

  // Streams input channel 0, then puts `fault` on the instrument: a blocking receive that can
  // never be served fails, the stop clears the failure, and once `cleared` the stream starts
  // again and carries the pattern on.
  void fail_input_and_restart(const char *fault, const char *cleared) {
    ASSERT_NO_FATAL_FAILURE(
        start_stream({.out_capacity = 16, .in_capacity = 1 << 16, .out_mask = 0, .in_mask = 0x1}));
    CounterCheck before{32, 0};
    ASSERT_NO_FATAL_FAILURE(receive_counter_blocks(before, 4096));
    ASSERT_EQ(vexdaq_sim_fault(sim_, fault), 0);
    std::vector<uint8_t> buffer(60000 * 4);
    EXPECT_EQ(returns_within(10, [&] { return vexdaq_recv_data(0, buffer.data(), 60000 * 4, 1); }),
              -1);
    EXPECT_EQ(vexdaq_stop(), 0);  // queued behind the failing thread's own stop
    EXPECT_EQ(loss(true).transfer_failures, 1u);
    EXPECT_EQ(g_stream.core_failed.load(), 0);
    ASSERT_EQ(vexdaq_sim_fault(sim_, cleared), 0);
    ASSERT_EQ(vexdaq_start(), 0);
    CounterCheck after{32, 0};
    ASSERT_NO_FATAL_FAILURE(receive_counter_blocks(after, 4096));
    EXPECT_EQ(vexdaq_stop(), 0);
  }

  // Input frames the instrument dropped because the host did not read them in time.
  uint64_t device_dropped() const {
    return static_cast<uint64_t>(vexdaq_sim_counter(sim_, "rx_dropped_frames"));
  }

  int32_t sim_ = -1;
};

}  // namespace vexdaq::testing
