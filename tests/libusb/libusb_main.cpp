// Runs the libusb tests when umockdev's preload library is in place (umockdev-wrapper), each case
// in a fresh temporary working directory; without it they are skipped (exit 77), since libusb
// would otherwise look at the machine's real USB devices.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/test_support.h"
#include "vexdaq/vexdaq_ext.h"

int main(int argc, char **argv) {
  const char *preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::string(preload).find("libumockdev-preload") == std::string::npos) {
    std::printf("not under umockdev-wrapper: the libusb tests are skipped\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  // libusb stands for real hardware, whose streams the device paces, but the faked kernel
  // completes transfers as soon as they are posted: real-time transfer threads would never block.
  vexdaq_set_transfer_realtime(0);
  vexdaq::testing::run_each_test_in_a_temporary_directory();
  return RUN_ALL_TESTS();
}
