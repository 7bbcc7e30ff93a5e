// Runs every test case in a fresh temporary working directory (see test_support.h).
#include <gtest/gtest.h>

#include "support/test_support.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  vexdaq::testing::run_each_test_in_a_temporary_directory();
  return RUN_ALL_TESTS();
}
