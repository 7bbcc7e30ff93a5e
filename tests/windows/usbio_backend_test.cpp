// The usbio backend and the exports on a Windows without the instrument's driver (as under Wine):
// nothing of the class is present, so nothing is listed and an open fails with its log line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend/driver.h"
#include "backend/usbio/usbio_backend.h"
#include "platform/thread.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq {
namespace {

TEST(UsbioBackend, FindsNoInterfaceWhereTheDriverIsNotInstalled) {
  std::vector<std::u16string> paths;
  EXPECT_TRUE(usbio_backend().enumerate(paths));
  EXPECT_TRUE(paths.empty());
}

TEST(UsbioBackend, OpeningAPathThatIsNotThereFailsWithTheSystemsStatus) {
  platform::set_last_error(0);
  const char16_t path[] = u"\\\\?\\usb#vid_0000&pid_0000#0#{4a47dbf9-3159-40ca-b83f-b14bc274cc1c}";
  EXPECT_EQ(usbio_backend().open(path, kAccessRead | kAccessWrite, kShareRead | kShareWrite,
                                 kFlagOverlapped),
            nullptr);
  EXPECT_NE(platform::last_error(), 0u);
}

TEST(UsbioBackend, LeavesTheVirtualInstrumentsPathsToTheirBackend) {
  EXPECT_TRUE(usbio_backend().owns(u"\\\\?\\usb#vid_0000&pid_0000#0#{guid}"));
  vexdaq_sim_reset();
  const int32_t id = vexdaq_sim_plug("");
  ASSERT_GE(id, 0);
  std::vector<std::u16string> paths;
  ASSERT_TRUE(driver_enumerate(paths));
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_FALSE(usbio_backend().owns(paths[0].c_str()));
  vexdaq_sim_reset();
}

TEST(UsbioSession, WithoutTheDriverNoDeviceIsListedAndAnOpenFailsWithItsLog) {
  vexdaq_sim_reset();
  EXPECT_EQ(vexdaq_device_list(), 0);
  EXPECT_EQ(vexdaq_device_open(0), -1);
  EXPECT_NE(testing::read_log().find(" - vexdaq_device_open failed"), std::string::npos)
      << testing::read_log();
  vexdaq_device_close();
}

}  // namespace
}  // namespace vexdaq
