// A session on a freshly plugged virtual instrument, with the control requests it received read
// back from its trace as text lines ("41 3D 0000 8500 0001 : 03").
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/session_state.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {

using Lines = std::vector<std::string>;

// The control requests the instrument received since the last call, one per line.
inline Lines take_trace(int32_t sim) {
  const std::string text = take_sim_trace(sim);
  Lines lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = vexdaq_sim_plug(profile());
    ASSERT_GE(sim_, 0);
    ASSERT_EQ(vexdaq_device_open(0), 0);
    ASSERT_NE(g_session.session_token.load(), 0u);
    take_trace(sim_);  // the initialisation's own requests
  }

  void TearDown() override {
    vexdaq_device_close();
    vexdaq_sim_reset();
  }

  // The instrument's profile; null for the default instrument.
  virtual const char *profile() const { return nullptr; }

  Lines trace() { return take_trace(sim_); }

  // The requests of every message queued so far: a synchronous command goes behind them in the
  // queue, so they have all reached the instrument when it returns. Its own request is left out.
  Lines trace_after_flush() {
    uint8_t port = 0;
    EXPECT_EQ(vexdaq_digital_io_read(0x7F, &port, 1), 0);
    Lines lines = trace();
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ(lines.back(), kFlushRequest);
      lines.pop_back();
    }
    return lines;
  }

  static constexpr const char *kFlushRequest = "C1 E7 0000 7F00 0001";

  int32_t sim_ = -1;
};

}  // namespace vexdaq::testing
