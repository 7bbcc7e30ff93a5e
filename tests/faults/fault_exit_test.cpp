// An application that ends without closing its session: the process must still exit, at once
// and cleanly, whatever the session was doing.
#include <gtest/gtest.h>

#include <cstdlib>

#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

void open_and_exit(bool streaming) {
  vexdaq_sim_plug("exclusive=1;pacing=free;waveform=counter");
  if (vexdaq_device_open(0) != 0) std::_Exit(2);
  if (streaming) {
    vexdaq_create_buffers(256, 256);
    vexdaq_set_input_channel(0x1);
    vexdaq_set_output_channel(0x1);
    vexdaq_start();
  }
  std::exit(0);
}

TEST(ExitWithOpenSession, IdleSessionLetsTheProcessExit) {
  EXPECT_EXIT(open_and_exit(false), ::testing::ExitedWithCode(0), "");
}

TEST(ExitWithOpenSession, StreamingSessionLetsTheProcessExit) {
  EXPECT_EXIT(open_and_exit(true), ::testing::ExitedWithCode(0), "");
}

}  // namespace
