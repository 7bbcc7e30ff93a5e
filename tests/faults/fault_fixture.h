// What the fault and concurrency suites share: a fixture that starts and ends without a session,
// a virtual instrument or a thread of the library, and checks that nothing outlives a session.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "support/process_counts.h"
#include "support/sim_session.h"

namespace vexdaq::testing {

class FaultTest : public SimSessionTest {
 public:
  void SetUp() override {
    // A sanitizer runtime may start a helper thread of its own with the first thread the
    // process makes; have that happen before the count is taken.
    static const bool warmed_up = (std::thread([] {}).join(), true);
    (void)warmed_up;
    SimSessionTest::SetUp();
    threads_before_ = thread_count();
    handles_before_ = open_handle_count();
    ASSERT_GT(handles_before_, 0) << "this platform's handle count does not work";
  }

  void TearDown() override {
    SimSessionTest::TearDown();
    // Nothing of the library may outlive its session: no thread, no open file or handle. A joined
    // thread can stay listed for a moment while the kernel finishes its exit, and nothing signals
    // its going: look again for a bounded while. Fewer than before means the warm-up thread was
    // still listed when the count was taken.
    int threads_after = thread_count();
    for (int look = 0; look < 2000 && threads_after > threads_before_; ++look) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      threads_after = thread_count();
    }
    EXPECT_LE(threads_after, threads_before_);
    const int handles_after = open_handle_count();
    EXPECT_GE(handles_after, handles_before_ - open_handle_slack());
    EXPECT_LE(handles_after, handles_before_ + open_handle_slack());
  }

 private:
  int threads_before_ = 0;
  int handles_before_ = 0;
};

}  // namespace vexdaq::testing
