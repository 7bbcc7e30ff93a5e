// Identity texts that need no device: the library's own version and build, and the driver version
// as the last session left it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device/device_state.h"
#include "session/log.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq {
namespace {

class IdentityText : public ::testing::Test {
 protected:
  void TearDown() override {
    g_device.driver_version = 0;
    g_device.device_bcd = 0;
    std::memset(g_device.product_name, 0, sizeof g_device.product_name);
  }

  static std::string driver_version(uint16_t value) {
    g_device.driver_version = value;
    char text[16];
    std::memset(text, 'x', sizeof text);
    const int32_t length = vexdaq_get_driver_version(text, sizeof text);
    EXPECT_EQ(length, static_cast<int32_t>(std::strlen(text)));
    return text;
  }
};

TEST_F(IdentityText, VersionIsFiveZeroAndTheBuildId) {
  char text[32];
  EXPECT_EQ(vexdaq_get_version(text, sizeof text), 11);
  EXPECT_STREQ(text, "5.0.17d11d6");
}

TEST_F(IdentityText, VersionCutToAFourByteBufferStillReportsTheWholeLength) {
  char text[8] = "ABCDEFG";
  EXPECT_EQ(vexdaq_get_version(text, 4), 11);
  EXPECT_STREQ(text, "5.0");
  EXPECT_EQ(text[4], 'E');  // nothing written past the given size
}

TEST_F(IdentityText, InformationIsTheBuildDateAndTimeOfTheLogsFirstLine) {
  char text[64];
  const std::string expected = std::string(build_date()) + " " + build_time();
  EXPECT_EQ(vexdaq_get_information(text, sizeof text), static_cast<int32_t>(expected.size()));
  EXPECT_EQ(text, expected);
  EXPECT_EQ(expected.size(), 20u);  // "Aug  8 2022 13:54:40"
}

TEST_F(IdentityText, DriverVersionDigitsAreBinaryCodedDecimal) {
  EXPECT_EQ(driver_version(0x0123), "1.23");
  EXPECT_EQ(driver_version(0x1234), "12.34");
  EXPECT_EQ(driver_version(0x0A05), "10.05");  // a group above 9 shows two digits
  EXPECT_EQ(driver_version(0x0FFF), "15.1515");
  EXPECT_EQ(driver_version(0x1000), "10.00");
}

TEST_F(IdentityText, NoDriverVersionYetIsTheEmptyText) {
  EXPECT_EQ(driver_version(0), "");
}

TEST_F(IdentityText, NoDeviceYetGivesEmptyNameAndVersion) {
  char text[32];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(vexdaq_get_device_name(text), 0);
  EXPECT_STREQ(text, "");
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(vexdaq_get_device_version(text, sizeof text), 0);
  EXPECT_STREQ(text, "");
}

TEST_F(IdentityText, AnUnterminatedProductNameIsCutToThirtyOneCharacters) {
  std::memset(g_device.product_name, 'N', sizeof g_device.product_name);
  char text[40];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(vexdaq_get_device_name(text), 32);
  EXPECT_EQ(std::string(text), std::string(31, 'N'));
  EXPECT_EQ(text[32], 'x');
}

TEST_F(IdentityText, NullBufferWritesNothing) {
  EXPECT_EQ(vexdaq_get_version(nullptr, 8), -1);
  EXPECT_EQ(vexdaq_get_information(nullptr, 8), -1);
  EXPECT_EQ(vexdaq_get_driver_version(nullptr, 8), -1);
  EXPECT_EQ(vexdaq_get_device_name(nullptr), -1);
  EXPECT_EQ(vexdaq_get_device_version(nullptr, 8), -1);
}

}  // namespace
}  // namespace vexdaq
