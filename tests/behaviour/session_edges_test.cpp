// The edges of a session's life against the virtual instrument: a stop with nothing running, a
// blocked call whose channel goes away, and what a closed session still reports.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "session/session_state.h"
#include "stream/stream_state.h"
#include "stream/stream_waiters.h"
#include "support/sim_session.h"

namespace vexdaq::testing {
namespace {

using SessionEdges = SimSessionTest;

// Until a data call is registered as a waiter, or a bounded number of looks has passed.
void wait_until_blocked() {
  for (int look = 0; look < 200000 && stream_waiter_count() == 0; ++look) {
    std::this_thread::yield();
  }
}

TEST_F(SessionEdges, StopWithoutAStartEmptiesNoFifo) {
  open("out_channels=2;out_bits=24");
  ASSERT_NO_FATAL_FAILURE(prepare_stream({.out_capacity = 64, .in_capacity = 64, .out_mask = 0x1}));
  uint8_t block[32 * 3] = {};
  ASSERT_EQ(vexdaq_send_all_data(0, block, sizeof block, 0), static_cast<int32_t>(sizeof block));
  ASSERT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(g_stream.out_channels[0].fifo->free_count, 32) << "the prefilled samples stay";
}

TEST_F(SessionEdges, MaskChangeReleasesACallBlockedOnADisabledChannel) {
  open("pacing=realtime;in_rates=1000;out_rates=1000;in_channels=4;in_bits=24");
  ASSERT_NO_FATAL_FAILURE(start_stream({.in_capacity = 4096, .in_mask = 0xF}));
  static uint8_t buffer[4 * 4000 * 3];
  struct Case {
    uint64_t mask_after;
    bool all;
  };
  for (const Case &c : {Case{0xE, false}, Case{0x0, true}}) {
    std::atomic<int32_t> result{-2};
    std::thread caller([&] {
      result.store(c.all ? vexdaq_recv_all_data(0, buffer, 4000 * 3, 1)
                         : vexdaq_recv_data(0, buffer, 4000 * 3, 1));
    });
    wait_until_blocked();
    EXPECT_EQ(vexdaq_set_input_channel(c.mask_after), 0);
    caller.join();
    EXPECT_EQ(result.load(), 0) << (c.all ? "all channels" : "channel 0");
    EXPECT_EQ(vexdaq_set_input_channel(0xF), 0);
  }
}

TEST_F(SessionEdges, IdentityAndRatesOutliveTheSession) {
  open("driver_version=0x0240;product=Edge Instrument;in_rates=1000,48000");
  char driver[16] = {};
  char name[32] = {};
  ASSERT_GT(vexdaq_get_driver_version(driver, sizeof driver), 0);
  ASSERT_GT(vexdaq_get_device_name(name), 0);
  ASSERT_EQ(vexdaq_can_sample_rate(48000, 1), 0);
  vexdaq_device_close();

  char driver_after[16] = {};
  char name_after[32] = {};
  EXPECT_EQ(vexdaq_get_driver_version(driver_after, sizeof driver_after),
            static_cast<int32_t>(std::strlen(driver)));
  EXPECT_STREQ(driver_after, driver);
  EXPECT_EQ(vexdaq_get_device_name(name_after), static_cast<int32_t>(std::strlen(name)));
  EXPECT_STREQ(name_after, "Edge Instrument");
  EXPECT_EQ(vexdaq_can_sample_rate(48000, 1), 0);
  EXPECT_EQ(vexdaq_can_sample_rate(2000, 1), -1);
}

std::string contents(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(SessionEdges, OpenWhileOpenLeavesTheRunningLogAloneAndEndsItsOwnWithTheFailure) {
  open();
  const auto before = log_files();
  ASSERT_EQ(before.size(), 1u);
  const std::string running = contents(before[0]);
  EXPECT_EQ(vexdaq_device_open(0), -1);
  EXPECT_EQ(contents(before[0]), running);
  const auto after = log_files();
  ASSERT_EQ(after.size(), 2u);
  const std::string failed = contents(after[0] == before[0] ? after[1] : after[0]);
  const std::string line = as_logged("vexdaq_device_open failed\r\n");
  ASSERT_GE(failed.size(), line.size());
  EXPECT_EQ(failed.substr(failed.size() - line.size()), line);
}

// The core did not come up (its rate list failed), but the device is open: what needs only the
// control pipe still works.
TEST_F(SessionEdges, DownloadsAndDeviceVersionNeedOnlyTheOpenedDevice) {
  const int32_t id = plug("bcd_device=0x0105;fpga_version=0x21");
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_request=0xD0:0xC0000004"), 0);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  ASSERT_EQ(g_session.session_token.load(), 0u);
  char version[32] = {};
  EXPECT_EQ(vexdaq_get_device_version(version, sizeof version), 7);
  EXPECT_STREQ(version, "1.05.21");
  EXPECT_EQ(vexdaq_serial_download("AB", 2), 0);
  {
    std::ofstream firmware("firmware.bin", std::ios::binary);
    firmware << "0123456789";
  }
  EXPECT_EQ(vexdaq_firmware_download("firmware.bin"), 0);
  EXPECT_EQ(vexdaq_start(), -1) << "no core, no stream";
}

}  // namespace
}  // namespace vexdaq::testing
