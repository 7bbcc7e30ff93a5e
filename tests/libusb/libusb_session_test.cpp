// The exported API end to end on an instrument reached through libusb.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend/libusb/libusb_backend.h"
#include "libusb/fake_usbfs.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {
namespace {

TEST(LibusbDiscovery, DevicesAreListedByPortChainWithoutHubs) {
  FakeUsbBus bus;
  bus.add_instrument("4", "");
  bus.add_hub("2");
  bus.add_instrument("2.3", "protocol=0");
  std::vector<std::u16string> paths;
  ASSERT_TRUE(libusb_backend().enumerate(paths));
  EXPECT_EQ(paths, (std::vector<std::u16string>{u"usb:1-2.3", u"usb:1-4"}));
  EXPECT_EQ(vexdaq_device_list(), 1);
}

TEST(LibusbSession, OpensInitialisesAndCloses) {
  FakeUsbBus bus;
  auto instrument = bus.add_instrument("4", "");
  ASSERT_EQ(vexdaq_device_open(0), 0);
  int32_t bits = 0, channels = 0;
  EXPECT_EQ(vexdaq_get_stream_format(1, &bits, &channels), 0);
  EXPECT_EQ(bits, 24);
  EXPECT_EQ(channels, 8);
  EXPECT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(vexdaq_stop(), 0);
  vexdaq_device_close();
  std::string trace = take_trace(*instrument);
  EXPECT_NE(trace.find("80 06 0100 0000 0012"), std::string::npos) << trace;
  std::string log = read_log();
  EXPECT_NE(log.find("usb:1-4"), std::string::npos) << log;
}

}  // namespace
}  // namespace vexdaq::testing
