// A burst of commands larger than the queue: what the caller waits for is never lost, and what is
// dropped is counted.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "behaviour/commands_fixture.h"
#include "core/core_state.h"
#include "vexdaq/vexdaq_ext.h"

namespace vexdaq::testing {
namespace {

using CommandsQueue = CommandsTest;

// The bRequest field of trace lines ("41 3D 0000 8500 0001 : 03").
int requests_with_code(const Lines &lines, const std::string &code) {
  int count = 0;
  for (const std::string &line : lines) {
    if (line.size() > 5 && line.compare(3, 2, code) == 0) ++count;
  }
  return count;
}

TEST_F(CommandsQueue, OverfullBurstLosesNeitherTheStartNorTheClose) {
  const uint64_t dropped_before = vexdaq_get_dropped_commands();
  // 512 asynchronous messages: one per channel bit, whatever the device's channel count.
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(vexdaq_set_input_gear(~0ULL, 0, 3), 0);
    ASSERT_EQ(vexdaq_set_input_icp(~0ULL, 1), 0);
  }
  ASSERT_EQ(vexdaq_start(), 0);
  // The start was queued behind the burst, so all that was kept has reached the instrument.
  const Lines lines = trace();
  EXPECT_EQ(requests_with_code(lines, "FE"), 1) << "the start reached the instrument";
  const uint64_t dropped = vexdaq_get_dropped_commands() - dropped_before;
  EXPECT_EQ(
      requests_with_code(lines, "3D") + requests_with_code(lines, "3F") + static_cast<int>(dropped),
      512);
  vexdaq_device_close();  // its stop and exit wait for room; it returns
  EXPECT_EQ(g_core.core_thread_handle, nullptr);
}

}  // namespace
}  // namespace vexdaq::testing
