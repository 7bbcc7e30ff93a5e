// What the fault and concurrency suites share: a fixture that starts and ends without a session,
// a virtual instrument or a thread of the library, and checks that nothing outlives a session.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "support/sim_session.h"

namespace vexdaq::testing {

// Entries of a directory of /proc/self right now: "task" for threads, "fd" for open files.
inline int entries_of_this_process(const char *what) {
  int count = 0;
  std::error_code ec;
  for (auto it =
           std::filesystem::directory_iterator(std::filesystem::path("/proc/self") / what, ec);
       it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

class FaultTest : public SimSessionTest {
 public:
  void SetUp() override {
    // A sanitizer runtime may start a helper thread of its own with the first thread the
    // process makes; have that happen before the count is taken.
    static const bool warmed_up = (std::thread([] {}).join(), true);
    (void)warmed_up;
    SimSessionTest::SetUp();
    threads_before_ = entries_of_this_process("task");
    descriptors_before_ = entries_of_this_process("fd");
  }

  void TearDown() override {
    SimSessionTest::TearDown();
    // Nothing of the library may outlive its session: no thread, no open file.
    EXPECT_EQ(entries_of_this_process("task"), threads_before_);
    EXPECT_EQ(entries_of_this_process("fd"), descriptors_before_);
  }

 private:
  int threads_before_ = 0;
  int descriptors_before_ = 0;
};

}  // namespace vexdaq::testing
