// Starting and stopping the stream through the core thread, and the queue under several posters.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "behaviour/core_test_support.h"
#include "device/device_state.h"
#include "session/message_queue.h"
#include "stream/stream_state.h"

namespace vexdaq::testing {
namespace {

using StreamControl = CoreSessionTest;

constexpr const char *kStartRequest = "21 FE 0000 0000 0000\n";
constexpr const char *kStopRequest = "21 FD 0000 0000 0000\n";

TEST_F(StreamControl, StartTwiceSendsOneStartRequest) {
  const int32_t id = open_with();
  trace(id);
  EXPECT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(g_stream.streaming.load(), 1);
  EXPECT_EQ(g_stream.out_active.load(), 1);
  EXPECT_EQ(g_stream.in_active.load(), 1);
  EXPECT_EQ(vexdaq_start(), 0);
  const std::string requests = trace(id);
  EXPECT_EQ(count_of(requests, kStartRequest), 1) << requests;
  const std::string log = read_log();
  EXPECT_EQ(count_of(log, as_logged("Message START received\r\n")), 2);
  EXPECT_EQ(count_of(log, as_logged("usbio_device_pre_data_xfer - begins\r\n")), 1);
  EXPECT_TRUE(log_has("Start Frame Number : "));
}

TEST_F(StreamControl, StopAfterStartWindsTheStreamDown) {
  const int32_t id = open_with();
  ASSERT_EQ(vexdaq_start(), 0);
  trace(id);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(g_stream.streaming.load(), 0);
  EXPECT_EQ(g_stream.out_active.load(), 0);
  EXPECT_EQ(g_stream.in_active.load(), 0);
  EXPECT_EQ(count_of(trace(id), kStopRequest), 1);
  EXPECT_TRUE(log_has("usbio_device_post_data_xfer - begins\r\n"));
}

TEST_F(StreamControl, StopWithoutStartStillResetsThePipesAndClearsTheFailure) {
  const int32_t id = open_with();
  trace(id);
  set_core_failed(true);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(g_stream.core_failed.load(), 0);
  EXPECT_EQ(count_of(trace(id), kStopRequest), 0);
  EXPECT_FALSE(log_has("usbio_device_post_data_xfer"));

  // The reset reaches the last pipe: a failure planted there shows up.
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_ioctl=0x80942080@4:0xC0000009"), 0);
  set_core_failed(true);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_TRUE(log_has("IOCTL_USBIO_RESET_PIPE [4] failed, status = 0xC0000009.\n"));
  EXPECT_EQ(g_stream.core_failed.load(), 1);
}

TEST_F(StreamControl, FailingAbortOnPipeTwoLeavesTheLaterPipesAlone) {
  const int32_t id = open_with();
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_ioctl=0x80942084@2:0xC0000001"), 0);
  // Were pipes 3 and 4 still touched, their own failures would be logged.
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_ioctl=0x80942084@3:0xC0000003"), 0);
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_ioctl=0x80942084@4:0xC0000004"), 0);
  set_core_failed(true);
  EXPECT_EQ(vexdaq_stop(), 0);  // still completes
  EXPECT_TRUE(log_has("IOCTL_USBIO_ABORT_PIPE [2] failed, status = 0xC0000001.\n"));
  EXPECT_FALSE(log_has("[3] failed"));
  EXPECT_FALSE(log_has("[4] failed"));
  EXPECT_FALSE(log_has("IOCTL_USBIO_RESET_PIPE [2]"));
  EXPECT_EQ(g_stream.core_failed.load(), 1);
}

TEST_F(StreamControl, DeviceNotPresentCountsAsAbortedAndSkipsTheSlotWaits) {
  const int32_t id = open_with();
  ASSERT_EQ(vexdaq_sim_fault(id, "frame_number_status=0xE000100A"), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  EXPECT_TRUE(log_has("IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER failed, status = 0xE000100A.\n"));
  EXPECT_EQ(g_device.last_status.load(), kStatusDeviceNotPresent);
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_ioctl=0x80942084@1:0xE000100A"), 0);
  set_core_failed(true);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_TRUE(log_has("usbio_device_post_data_xfer - device is not presetn\r\n"));
  EXPECT_FALSE(log_has("IOCTL_USBIO_ABORT_PIPE [1]"));
  EXPECT_EQ(g_stream.core_failed.load(), 0);
}

TEST_F(StreamControl, ConcurrentSynchronousPostersAreEachReleased) {
  open_with();
  constexpr int kThreads = 4;
  constexpr int kPosts = 50;
  std::vector<std::thread> posters;
  std::vector<int> completed(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([t, &completed] {
      for (int i = 0; i < kPosts; ++i) {
        uint8_t record[8] = {static_cast<uint8_t>(t), 0, 0, 0, 0, 0, 0, 0};
        post_message(MSG_TRIGGER_MODE, t & 1, 0, sizeof record, record);
        ++completed[static_cast<size_t>(t)];
      }
    });
  }
  for (std::thread &poster : posters) poster.join();
  for (int done : completed) EXPECT_EQ(done, kPosts);
}

}  // namespace
}  // namespace vexdaq::testing
