// Runs the libusb tests when umockdev's preload library is in place (umockdev-wrapper), each case
// in a fresh temporary working directory; without it they are skipped (exit 77), since libusb
// would otherwise look at the machine's real USB devices.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/test_support.h"

int main(int argc, char **argv) {
  const char *preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::string(preload).find("libumockdev-preload") == std::string::npos) {
    std::printf("not under umockdev-wrapper: the libusb tests are skipped\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  vexdaq::testing::run_each_test_in_a_temporary_directory();
  return RUN_ALL_TESTS();
}
