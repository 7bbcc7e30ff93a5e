// vexdaq_get_last_open_status: why the latest device open failed, for `vexdaq doctor`.
#include <gtest/gtest.h>

#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

class LastOpenStatus : public ::testing::Test {
 protected:
  void TearDown() override {
    vexdaq_device_close();
    vexdaq_sim_reset();
  }
};

TEST_F(LastOpenStatus, AnOpenRefusedForPermissionsReportsAccessDenied) {
  const int32_t sim = vexdaq_sim_plug("exclusive=1");
  ASSERT_EQ(vexdaq_sim_fault(sim, "fail_open=1:0x5"), 0);
  EXPECT_EQ(vexdaq_device_open(0), -1);
  EXPECT_EQ(vexdaq_get_last_open_status(), 0x00000005u);
}

TEST_F(LastOpenStatus, TheLatestFailureIsReportedAndASuccessKeepsIt) {
  const int32_t sim = vexdaq_sim_plug("exclusive=1");
  ASSERT_EQ(vexdaq_sim_fault(sim, "fail_open=1:0xE000100A"), 0);
  EXPECT_EQ(vexdaq_device_open(0), -1);
  EXPECT_EQ(vexdaq_get_last_open_status(), 0xE000100Au);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(vexdaq_get_last_open_status(), 0xE000100Au);
}

}  // namespace
