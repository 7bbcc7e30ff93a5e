// The edges of a session's life when application threads race: a close against rate changes and
// starts on a running stream, two closes at once, and a stop against blocked all-channel calls.
// A hang here ends the case at the test's time-out; every loop below is bounded.
#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "session/session_state.h"
#include "stream/stream_waiters.h"
#include "support/sim_session.h"

namespace vexdaq::testing {
namespace {

using SessionLife = SimSessionTest;

constexpr const char *kRunning =
    "pacing=realtime;in_channels=4;out_channels=2;in_rates=51200;out_rates=51200";

// Until the counter reaches `at_least`, or a bounded number of looks has passed.
void wait_for(const std::atomic<int32_t> &counter, int32_t at_least) {
  for (int look = 0; look < 2000000 && counter.load() < at_least; ++look) {
    std::this_thread::yield();
  }
}

// Lets `parties` threads go at once: each arrives and yields until all have. Not std::barrier:
// MinGW's libstdc++ waits there through its own condition-variable pool, which was seen under
// Wine to miss the last arrival's wake-up and hold a thread for ever.
class StartGate {
 public:
  explicit StartGate(int32_t parties) : parties_(parties) {}
  void arrive_and_wait() {
    arrived_.fetch_add(1);
    wait_for(arrived_, parties_);
  }

 private:
  const int32_t parties_;
  std::atomic<int32_t> arrived_{0};
};

void wait_until_blocked() {
  for (int look = 0; look < 2000000 && stream_waiter_count() == 0; ++look) {
    std::this_thread::yield();
  }
}

// The log from the close's stop on: the last stop before the exit. A start after it would have
// left the exit a stream to stop.
std::string log_after_the_close_stop() {
  const std::string log = read_log();
  const size_t exit = log.rfind("Message EXIT received");
  const size_t stop = log.rfind("Message STOP received", exit);
  return exit == std::string::npos || stop == std::string::npos ? log : log.substr(stop);
}

// Threads that keep stopping and restarting the stream (a rate change of a running stream, or a
// plain start) while the close comes: the close returns, and nothing starts after it began.
TEST_F(SessionLife, ACloseEndsTheSessionWhileOtherThreadsRestartTheStream) {
  const std::vector<std::pair<const char *, std::function<int32_t()>>> restarts = {
      {"rate change", [] { return vexdaq_set_sample_rate(51200, 51200); }},
      {"start", [] { return vexdaq_start(); }},
  };
  for (const auto &[name, restart] : restarts) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(name) + ", round " + std::to_string(round));
      open(kRunning);
      ASSERT_NO_FATAL_FAILURE(start_stream(
          {.out_capacity = 4096, .in_capacity = 4096, .out_mask = 0x3, .in_mask = 0xF}));
      std::atomic<int32_t> calls{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
          for (int i = 0; i < 100000 && restart() == 0; ++i) calls.fetch_add(1);
        });
      }
      wait_for(calls, 4);
      vexdaq_device_close();
      for (std::thread &thread : threads) thread.join();
      expect_session_closed();
      const std::string after = log_after_the_close_stop();
      EXPECT_EQ(after.find("Message START received"), std::string::npos) << after;
      EXPECT_EQ(after.find("usbio_device_pre_data_xfer"), std::string::npos) << after;
      EXPECT_NE(after.find("Message EXIT received"), std::string::npos) << after;
      vexdaq_sim_reset();
    }
  }
}

// An exit handler's close racing a worker's close: both return, the session is torn down once.
TEST_F(SessionLife, TwoClosesAtOnceBothReturnAndTheSessionEndsOnce) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    open(kRunning);
    ASSERT_NO_FATAL_FAILURE(
        start_stream({.out_capacity = 4096, .in_capacity = 4096, .out_mask = 0x3, .in_mask = 0xF}));
    StartGate both(2);
    std::vector<std::thread> closers;
    for (int t = 0; t < 2; ++t) {
      closers.emplace_back([&] {
        both.arrive_and_wait();
        vexdaq_device_close();
      });
    }
    for (std::thread &closer : closers) closer.join();
    expect_session_closed();
    const std::string log = read_log();
    EXPECT_EQ(log.find("vexdaq_device_close"), log.rfind("vexdaq_device_close")) << log;
    // The next session opens as usual.
    EXPECT_EQ(vexdaq_device_open(0), 0);
    vexdaq_device_close();
    vexdaq_sim_reset();
  }
}

// An open and a close at once: whichever goes first, both return and the session ends up either
// open (the close went first) or closed.
TEST_F(SessionLife, AnOpenAndACloseAtOnceBothReturn) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    open(kRunning);
    StartGate both(2);
    std::atomic<int32_t> opened{-2};
    std::thread closer([&] {
      both.arrive_and_wait();
      vexdaq_device_close();
    });
    std::thread opener([&] {
      both.arrive_and_wait();
      opened.store(vexdaq_device_open(0));
    });
    closer.join();
    opener.join();
    EXPECT_EQ(g_session.session_token.load() != 0, opened.load() == 0);
    vexdaq_device_close();
    expect_session_closed();
    vexdaq_sim_reset();
  }
}

// A stop releases every blocked data call of the stream with 0, the all-channel calls (which do
// not look at the active flags) as well as the single-channel ones.
TEST_F(SessionLife, AStopReleasesEveryBlockedDataCallWithZero) {
  static uint8_t buffer[4 * 60000 * 2];
  struct Blocked {
    const char *name;
    bool started;
    std::function<void()> before;  // on this thread: the waiter count must be the call's alone
    std::function<int32_t()> call;
  };
  // The output FIFOs hold 4096 samples; filled before the call, its block cannot go in.
  const auto fill = [] { ASSERT_EQ(vexdaq_send_all_data(0, buffer, 4096 * 2, 0), 4096 * 2); };
  const std::vector<Blocked> calls = {
      {"recv_all", true, [] {}, [] { return vexdaq_recv_all_data(0, buffer, 50000 * 2, 1); }},
      {"recv", true, [] {}, [] { return vexdaq_recv_data(1, buffer, 50000 * 2, 1); }},
      {"send_all before start", false, fill,
       [] { return vexdaq_send_all_data(0, buffer, 4096 * 2, 1); }},
      {"send_channel_blocks before start", false, fill,
       [] { return vexdaq_send_channel_blocks(buffer, 4096 * 2, 1); }},
  };
  open(
      "pacing=realtime;in_channels=4;out_channels=2;in_bits=16;out_bits=16;in_rates=1000;"
      "out_rates=1000");
  for (const Blocked &blocked : calls) {
    SCOPED_TRACE(blocked.name);
    ASSERT_NO_FATAL_FAILURE(prepare_stream(
        {.out_capacity = 4096, .in_capacity = 60000, .out_mask = 0x3, .in_mask = 0xF}));
    ASSERT_EQ(vexdaq_set_sample_rate(1000, 1000), 0);
    if (blocked.started) {
      ASSERT_EQ(vexdaq_start(), 0);
    }
    ASSERT_NO_FATAL_FAILURE(blocked.before());
    std::atomic<int32_t> result{-2};
    std::thread caller([&] { result.store(blocked.call()); });
    wait_until_blocked();
    ASSERT_EQ(vexdaq_stop(), 0);
    caller.join();
    EXPECT_EQ(result.load(), 0);
  }
}

// An open while a session is open fails, and the running session goes on logging to its file.
TEST_F(SessionLife, AnOpenWhileOpenLeavesTheRunningSessionItsLog) {
  open(kRunning);
  const auto before = log_files();
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(vexdaq_device_open(0), -1);
  ASSERT_EQ(vexdaq_set_input_gear(0x1, 0, 2), 0);
  vexdaq_device_close();
  std::ifstream in(before[0], std::ios::binary);
  const std::string running((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(running.find("vexdaq_set_input_gear"), std::string::npos);
  EXPECT_NE(running.find("vexdaq_device_close"), std::string::npos);
  EXPECT_EQ(log_files().size(), 2u);
}

}  // namespace
}  // namespace vexdaq::testing
