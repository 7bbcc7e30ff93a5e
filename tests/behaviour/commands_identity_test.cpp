// The device's identity as the virtual instrument reports it.
#include <cstring>
#include <string>

#include "behaviour/commands_fixture.h"

namespace vexdaq::testing {
namespace {

class DeviceIdentity : public CommandsTest {
 protected:
  const char *profile() const override {
    return "bcd_device=0x0102;fpga_version=0x35;product=ABCDEFGHIJKLMNOPQRSTUVWX";
  }
};

TEST_F(DeviceIdentity, DeviceVersionAddsTheFpgaVersionFromTheDevice) {
  char text[32];
  EXPECT_EQ(vexdaq_get_device_version(text, sizeof text), 7);
  EXPECT_STREQ(text, "1.02.35");
  EXPECT_EQ(trace(), (Lines{"A1 13 0000 0000 0001"}));
  EXPECT_TRUE(log_has(" - FPGA code version : 0x35\r\n"));
}

TEST_F(DeviceIdentity, AFailedFpgaQueryIsLoggedAndShowsZero) {
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_request=0x13:0xC0000004"), 0);
  char text[32];
  EXPECT_EQ(vexdaq_get_device_version(text, sizeof text), 7);
  EXPECT_STREQ(text, "1.02.00");
  EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0x13) failed, status = 0xC0000004.\n"));
  EXPECT_TRUE(log_has("FPGA code version : 0x00\r\n"));
}

TEST_F(DeviceIdentity, ATwentyFourCharacterNameFitsWhole) {
  char text[32];
  EXPECT_EQ(vexdaq_get_device_name(text), 24);
  EXPECT_STREQ(text, "ABCDEFGHIJKLMNOPQRSTUVWX");
}

class DeviceIdentityFourDigits : public CommandsTest {
 protected:
  const char *profile() const override { return "bcd_device=0x1234;fpga_version=0x07"; }
};

TEST_F(DeviceIdentityFourDigits, ThousandsShowFromFourDigitVersions) {
  char text[32];
  EXPECT_EQ(vexdaq_get_device_version(text, sizeof text), 8);
  EXPECT_STREQ(text, "12.34.07");
  char small[4];
  EXPECT_EQ(vexdaq_get_device_version(small, sizeof small), 8);
  EXPECT_STREQ(small, "12.");
}

}  // namespace
}  // namespace vexdaq::testing
