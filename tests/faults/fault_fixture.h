// What the fault and concurrency suites share: a fixture that starts and ends without a session,
// a virtual instrument or a thread of the library, and checks for the samples the counter
// pattern numbers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "session/device_session.h"
#include "session/log.h"
#include "support/counter_check.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {

// Threads of this process right now.
inline int thread_count() {
  int count = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

// Open file descriptors of this process right now.
inline int descriptor_count() {
  int count = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

class FaultTest : public ::testing::Test {
 public:
  void SetUp() override {
    // A sanitizer runtime may start a helper thread of its own with the first thread the
    // process makes; have that happen before the count is taken.
    static const bool warmed_up = (std::thread([] {}).join(), true);
    (void)warmed_up;
    vexdaq_sim_reset();
    threads_before_ = thread_count();
    descriptors_before_ = descriptor_count();
  }

  void TearDown() override {
    vexdaq_dispose_buffers();  // the channel tables outlive a session
    vexdaq_device_close();
    vexdaq_sim_reset();
    // Nothing of the library may outlive its session: no thread, no open file.
    EXPECT_EQ(thread_count(), threads_before_);
    EXPECT_EQ(descriptor_count(), descriptors_before_);
  }

  // Plugs an exclusive instrument with the profile; fails the test when it is refused.
  int32_t plug(const std::string &profile = {}) {
    const int32_t id = vexdaq_sim_plug(("exclusive=1;" + profile).c_str());
    EXPECT_GE(id, 0) << profile;
    sim_ = id;
    return id;
  }

  // Plugs and opens; the session must come up.
  int32_t open(const std::string &profile = {}) {
    const int32_t id = plug(profile);
    EXPECT_EQ(vexdaq_device_open(0), 0);
    EXPECT_NE(g_session.session_token.load(), 0u);
    EXPECT_EQ(vexdaq_reset_loss_counters(), 0);
    return id;
  }

  static bool log_has(const std::string &message) {
    std::string in_file;
    for (char c : message) {
      if (c == '\n') in_file += '\r';
      in_file += c;
    }
    return read_log().find(in_file) != std::string::npos;
  }

  static vexdaq_loss_counters loss(bool input, int32_t channel = VEXDAQ_ALL_CHANNELS) {
    vexdaq_loss_counters counters{};
    EXPECT_EQ(vexdaq_get_loss_counters(input ? 1 : 0, channel, &counters), 0);
    return counters;
  }

  // Every handle, lock, thread and flag of the session back at its closed value.
  static void expect_closed() {
    EXPECT_EQ(g_session.control_handle, kInvalidHandle);
    for (DeviceHandle pipe : g_session.pipe_handles) EXPECT_EQ(pipe, kInvalidHandle);
    EXPECT_EQ(g_session.core_thread_handle, nullptr);
    EXPECT_EQ(g_session.txthread_handle, nullptr);
    EXPECT_EQ(g_session.rxthread_handle, nullptr);
    EXPECT_EQ(g_session.session_token.load(), 0u);
    EXPECT_EQ(g_session.message_queue, nullptr);
    EXPECT_EQ(g_session.message_lock, nullptr);
    EXPECT_EQ(g_session.streaming.load(), 0);
    EXPECT_EQ(g_session.core_failed.load(), 0);
    EXPECT_FALSE(log_is_open());
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

  int32_t sim_ = -1;

 private:
  int threads_before_ = 0;
  int descriptors_before_ = 0;
};

}  // namespace vexdaq::testing
