// What the session and core behaviour tests share: a fixture that always leaves the process
// without a session or a virtual instrument, and helpers for the log and the request trace.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/core_thread.h"
#include "session/session_state.h"
#include "support/sim_session.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {

class CoreSessionTest : public ::testing::Test {
 public:
  void TearDown() override {
    vexdaq_device_close();
    vexdaq_sim_reset();
    set_transfer_thread_factory(nullptr);
  }

  // Plugs a virtual instrument and fails the test when the profile is refused.
  int32_t plug(const char *profile = nullptr) {
    const int32_t id = vexdaq_sim_plug(profile);
    EXPECT_GE(id, 0) << (profile != nullptr ? profile : "(default)");
    return id;
  }

  // Plugs and opens; the test stops when the open fails.
  int32_t open_with(const char *profile = nullptr) {
    const int32_t id = plug(profile);
    EXPECT_EQ(vexdaq_device_open(0), 0);
    return id;
  }

  // Closes the session and unplugs its instrument, then plugs and opens one with the profile.
  int32_t reopen_with(const char *profile) {
    vexdaq_device_close();
    vexdaq_sim_reset();
    return open_with(profile);
  }

  // The control requests the instrument has seen since the last call.
  static std::string trace(int32_t id) { return take_sim_trace(id); }
};

}  // namespace vexdaq::testing
