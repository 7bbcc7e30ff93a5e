// Finding and opening instruments: the discovery table, the matching rule, the five handles and
// their rollback, seen through the virtual instrument's traces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend/driver.h"
#include "device/device_state.h"
#include "device/discovery.h"
#include "protocol/little_endian.h"
#include "protocol/usbio_records.h"
#include "session/log.h"
#include "stream/stream_state.h"
#include "tests/support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq {
namespace {

using testing::take_sim_trace;

constexpr char kProbe[] = "80 06 0100 0000 0012\n";

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override { vexdaq_sim_reset(); }
  void TearDown() override {
    close_device();
    vexdaq_sim_reset();
    log_close();
  }

  static void close_device() {
    for (int k = 0; k < kSlotCount; ++k) {
      g_stream.tx_slots[k].overlapped.event.reset();
      g_stream.rx_slots[k].overlapped.event.reset();
    }
    driver_close(g_device.control_handle);
    for (DeviceHandle &h : g_device.pipe_handles) driver_close(h);
  }

  static bool all_handles_closed() {
    if (g_device.control_handle != kInvalidHandle) return false;
    for (DeviceHandle h : g_device.pipe_handles) {
      if (h != kInvalidHandle) return false;
    }
    return true;
  }

  // The open count the driver reports for the instrument at position `member`.
  static uint32_t opens_of(int member) {
    std::vector<std::u16string> paths;
    driver_enumerate(paths);
    DeviceHandle h = driver_open(paths.at(static_cast<size_t>(member)).c_str(),
                                 kAccessRead | kAccessWrite, 3, kFlagNormal);
    uint8_t info[16] = {};
    uint32_t returned = 0;
    driver_ioctl(h, IOCTL_USBIO_GET_DEVICE_INFO, nullptr, 0, info, 16, &returned);
    driver_close(h);
    return get_le32(info + 4) - 1;  // not counting the handle that asked
  }
};

TEST_F(Discovery, NothingPresentCountsZeroAndOpensNothing) {
  EXPECT_EQ(vexdaq_device_list(), 0);
  EXPECT_EQ(usbio_device_open(0), -1);
  EXPECT_TRUE(all_handles_closed());
}

TEST_F(Discovery, OnlyProtocolThreeMatchesInEnumerationOrder) {
  int32_t first = vexdaq_sim_plug("protocol=3");
  int32_t second = vexdaq_sim_plug("protocol=0;subclass=7");
  int32_t third = vexdaq_sim_plug("protocol=3");
  log_open();
  EXPECT_EQ(vexdaq_device_list(), 2);
  // Every position was probed once, the non-matching one too, and its entry filled.
  EXPECT_EQ(take_sim_trace(first), kProbe);
  EXPECT_EQ(take_sim_trace(second), kProbe);
  EXPECT_EQ(take_sim_trace(third), kProbe);
  EXPECT_EQ(g_device.device_table[1][1022], 7);
  EXPECT_EQ(g_device.device_table[1][1023], 0);
  EXPECT_NE(g_device.device_table[1][0], 0);

  take_sim_trace(first, true);
  take_sim_trace(third, true);
  ASSERT_EQ(usbio_device_open(0), 0);
  EXPECT_EQ(opens_of(0), 5u);
  EXPECT_EQ(opens_of(2), 0u);
  // The five handles in order, with their access, share and flags.
  EXPECT_EQ(take_sim_trace(first, true),
            "open C0000000 3 00000080\n"
            "open 40000000 2 40000000\n"
            "open 80000000 1 40000000\n"
            "open 40000000 2 40000000\n"
            "open 80000000 1 40000000\n"
            "open C0000000 3 00000080\n"  // opens_of(0)
            "ioctl 80942068 0\n");
  std::vector<std::u16string> paths;
  driver_enumerate(paths);
  std::string path_line(paths[0].begin(), paths[0].end());
  EXPECT_NE(testing::read_log().find(" - " + path_line + "\r\r\n"), std::string::npos);

  // One device per process.
  EXPECT_EQ(usbio_device_open(1), -1);
  close_device();

  ASSERT_EQ(usbio_device_open(1), 0);
  EXPECT_EQ(opens_of(2), 5u);
  close_device();
  EXPECT_EQ(usbio_device_open(2), -1);
  EXPECT_EQ(usbio_device_open(-1), -1);
  EXPECT_TRUE(all_handles_closed());
}

TEST_F(Discovery, LooksAtTheFirstThirtyTwoInterfacesOnly) {
  std::vector<int32_t> ids;
  for (int i = 0; i < 33; ++i) ids.push_back(vexdaq_sim_plug(nullptr));
  EXPECT_EQ(vexdaq_device_list(), 32);
  EXPECT_EQ(take_sim_trace(ids[31]), kProbe);
  EXPECT_EQ(take_sim_trace(ids[32]), "");
}

TEST_F(Discovery, UnchangedPathsAreNotProbedAgain) {
  int32_t sim = vexdaq_sim_plug(nullptr);
  ASSERT_EQ(vexdaq_device_list(), 1);
  EXPECT_EQ(take_sim_trace(sim), kProbe);
  EXPECT_EQ(take_sim_trace(sim, true), "open C0000000 3 40000000\nioctl 80942006 0\n");
  // The stored protocol decides, even if the device would now answer differently.
  ASSERT_EQ(vexdaq_sim_set(sim, "protocol=0"), 0);
  EXPECT_EQ(vexdaq_device_list(), 1);
  EXPECT_EQ(take_sim_trace(sim), "");
  EXPECT_EQ(take_sim_trace(sim, true), "");
}

TEST_F(Discovery, AChangedPathIsProbedAgain) {
  int32_t sim = vexdaq_sim_plug(nullptr);
  ASSERT_EQ(vexdaq_device_list(), 1);
  take_sim_trace(sim);
  ASSERT_EQ(vexdaq_sim_set(sim, "protocol=5"), 0);
  ASSERT_EQ(vexdaq_sim_fault(sim, "replug"), 0);  // back with a new path
  EXPECT_EQ(vexdaq_device_list(), 0);
  EXPECT_EQ(take_sim_trace(sim), kProbe);
  EXPECT_EQ(g_device.device_table[0][1023], 5);
}

TEST_F(Discovery, AFailedProbeEndsTheWalkThere) {
  int32_t first = vexdaq_sim_plug(nullptr);
  int32_t second = vexdaq_sim_plug(nullptr);
  int32_t third = vexdaq_sim_plug(nullptr);
  ASSERT_EQ(vexdaq_sim_fault(second, "fail_request=0x06"), 0);
  EXPECT_EQ(vexdaq_device_list(), 1);
  EXPECT_EQ(take_sim_trace(first), kProbe);
  EXPECT_EQ(take_sim_trace(third), "");
  // The probe handle of the failed position was closed again.
  EXPECT_EQ(opens_of(1), 0u);
}

TEST_F(Discovery, AFailingFourthOpenRollsBackEveryHandle) {
  int32_t sim = vexdaq_sim_plug(nullptr);
  ASSERT_EQ(vexdaq_device_list(), 1);
  ASSERT_EQ(vexdaq_sim_fault(sim, "fail_open=4"), 0);
  take_sim_trace(sim, true);
  EXPECT_EQ(usbio_device_open(0), -1);
  EXPECT_EQ(take_sim_trace(sim, true),
            "open C0000000 3 00000080\n"
            "open 40000000 2 40000000\n"
            "open 80000000 1 40000000\n"
            "open 40000000 2 40000000\n");
  EXPECT_TRUE(all_handles_closed());
  EXPECT_EQ(g_stream.tx_slots[0].overlapped.event, nullptr);
  EXPECT_EQ(opens_of(0), 0u);
  // The fault was one-shot: the next open works.
  EXPECT_EQ(usbio_device_open(0), 0);
}

TEST_F(Discovery, AnEntryBeyondTheLastWalkStillCountsButCannotOpen) {
  vexdaq_sim_plug(nullptr);
  int32_t second = vexdaq_sim_plug(nullptr);
  ASSERT_EQ(vexdaq_device_list(), 2);
  ASSERT_EQ(vexdaq_sim_unplug(second), 0);
  EXPECT_EQ(vexdaq_device_list(), 1);
  EXPECT_EQ(usbio_device_open(1), -1);  // entry 1 matches, but no interface is there now
  EXPECT_TRUE(all_handles_closed());
}

TEST_F(Discovery, LongPathsAreStoredDistinctAndCompareStable) {
  int32_t sim = vexdaq_sim_plug("path_length=700");
  ASSERT_EQ(vexdaq_device_list(), 1);
  EXPECT_EQ(take_sim_trace(sim), kProbe);
  // The entry keeps its terminator inside the 1022 path bytes.
  EXPECT_EQ(get_le16(&g_device.device_table[0][1020]), 0);
  EXPECT_EQ(vexdaq_device_list(), 1);
  EXPECT_EQ(take_sim_trace(sim), "");
  ASSERT_EQ(usbio_device_open(0), 0);

  std::u16string a(600, u'a'), b(600, u'a');
  b[599] = u'b';
  EXPECT_EQ(device_table_path(a).size(), 510u);
  EXPECT_NE(device_table_path(a), device_table_path(b));
  EXPECT_EQ(device_table_path(u"short"), u"short");
}

}  // namespace
}  // namespace vexdaq
