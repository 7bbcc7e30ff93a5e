// Opening and closing the session against the virtual instrument.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "behaviour/core_test_support.h"
#include "core/core_state.h"
#include "device/device_state.h"
#include "platform/thread.h"
#include "session/log.h"
#include "session/session_state.h"
#include "stream/stream_state.h"
#include "stream/transfer_threads.h"

namespace vexdaq::testing {
namespace {

using SessionLifecycle = CoreSessionTest;

// The success line of an open whose core did not come up: a null token, zero-padded.
std::string null_token_line() {
  return "vexdaq_device_open success (0x" + std::string(2 * sizeof(void *), '0') + ")";
}

TEST_F(SessionLifecycle, OpenWithoutDeviceFailsAndLeavesACompleteLog) {
  EXPECT_EQ(vexdaq_device_open(0), -1);
  const std::string log = read_log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.rfind(as_logged("vexdaq_device_open failed\r\n")),
            log.size() - as_logged("vexdaq_device_open failed\r\n").size());
  expect_session_closed();
}

TEST_F(SessionLifecycle, OpenBringsTheCoreUpWithTheDevicesCapabilities) {
  open_with("in_channels=8;out_channels=2;in_bits=24;out_bits=16;product=VX-8");
  EXPECT_NE(g_session.session_token.load(), 0u);
  EXPECT_EQ(g_session.session_token.load(),
            reinterpret_cast<uintptr_t>(g_core.core_thread_handle.get()));
  EXPECT_EQ(g_device.in_channel_count.load(), 8);
  EXPECT_EQ(g_device.out_channel_count.load(), 2);
  EXPECT_EQ(g_device.in_sample_bits.load(), 24);
  EXPECT_EQ(g_device.out_sample_bits.load(), 16);
  EXPECT_EQ(g_device.in_packet_size.load(), 504);
  EXPECT_EQ(g_device.out_packet_size.load(), 512);
  EXPECT_STREQ(g_device.product_name, "VX-8");
  EXPECT_EQ(g_device.pipe_count, 4);
  EXPECT_NE(g_core.txthread_handle, nullptr);
  EXPECT_NE(g_core.rxthread_handle, nullptr);
  // Every transfer slot has its event, clear until a transfer completes.
  for (int k = 0; k < kSlotCount; ++k) {
    ASSERT_NE(g_stream.tx_slots[k].overlapped.event, nullptr);
    ASSERT_NE(g_stream.rx_slots[k].overlapped.event, nullptr);
    EXPECT_FALSE(g_stream.rx_slots[k].overlapped.event->is_set());
  }

  const std::string log = read_log();
  EXPECT_TRUE(log_has("usbio sample width : 16 out - 24 in\r\n"));
  EXPECT_TRUE(log_has("usbio channel count : 2 out - 8 in\r\n"));
  EXPECT_TRUE(log_has("USB Packet Size : 512 out - 504 in\r\n"));
  EXPECT_TRUE(log_has("usbio core is starting\r\n"));
  EXPECT_TRUE(log_has(" - <usbio_core_init> elapsed "));
  EXPECT_NE(log.find("vexdaq_device_open success (0x"), std::string::npos);
  EXPECT_EQ(log.find(null_token_line()), std::string::npos);
}

TEST_F(SessionLifecycle, CloseReleasesEverythingAndIsHarmlessWhenRepeated) {
  vexdaq_device_close();  // nothing open: no log, no failure
  EXPECT_TRUE(log_files().empty());

  open_with();
  vexdaq_device_close();
  expect_session_closed();
  const std::string log = read_log();
  EXPECT_TRUE(log_has("Message STOP received\r\n"));
  EXPECT_TRUE(log_has("Message EXIT received\r\n"));
  EXPECT_TRUE(log_has("<fifo_delete> fifo_handle (0x"));
  EXPECT_TRUE(log_has("vexdaq_device_close\r\n"));

  vexdaq_device_close();
  expect_session_closed();
  EXPECT_EQ(read_log(), log);  // the second close wrote nothing
}

TEST_F(SessionLifecycle, ReopeningReadsTheCapabilitiesAgain) {
  const int32_t first = open_with("in_channels=8;out_channels=2;product=First");
  vexdaq_device_close();
  vexdaq_sim_unplug(first);
  // The last session's values stay visible after the close.
  EXPECT_STREQ(g_device.product_name, "First");
  EXPECT_EQ(g_device.in_channel_count.load(), 8);

  open_with("in_channels=4;out_channels=0;in_bits=32;product=Second");
  EXPECT_NE(g_session.session_token.load(), 0u);
  EXPECT_STREQ(g_device.product_name, "Second");
  EXPECT_EQ(g_device.in_channel_count.load(), 4);
  EXPECT_EQ(g_device.out_channel_count.load(), 0);
  EXPECT_EQ(g_device.in_packet_size.load(), 512);
  EXPECT_EQ(g_device.out_packet_size.load(), 0);
  const std::string log = read_log();
  EXPECT_EQ(log.find("First"), std::string::npos);  // a log of its own
  EXPECT_TRUE(log_has("USB Packet Size : 0 out - 512 in\r\n"));
  EXPECT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(vexdaq_stop(), 0);
}

TEST_F(SessionLifecycle, OpenWhileOpenFailsAndTheSessionKeepsRunning) {
  open_with();
  const uintptr_t token = g_session.session_token.load();
  EXPECT_EQ(vexdaq_device_open(0), -1);
  EXPECT_EQ(g_session.session_token.load(), token);
  EXPECT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(g_stream.streaming.load(), 1);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(g_stream.streaming.load(), 0);
}

TEST_F(SessionLifecycle, CallsWithoutASessionAreRefused) {
  EXPECT_EQ(vexdaq_start(), -1);
  EXPECT_EQ(vexdaq_stop(), -1);
  EXPECT_TRUE(log_files().empty());
}

TEST_F(SessionLifecycle, ANewSessionDoesNotInheritARunRequest) {
  open_with();
  EXPECT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(g_core.run_requested.load(), 1);
  vexdaq_device_close();
  EXPECT_EQ(g_core.run_requested.load(), 1);  // kept across the close...
  EXPECT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(g_core.run_requested.load(), 0);  // ...but not into the next session
}

// A core that cannot come up leaves a session that refuses every command but still owns the
// device until it is closed.
void expect_unusable_session_then_clean_close() {
  EXPECT_EQ(g_session.session_token.load(), 0u);
  EXPECT_EQ(g_stream.core_failed.load(), 1);
  EXPECT_NE(g_device.control_handle, kInvalidHandle);
  EXPECT_TRUE(log_has(null_token_line()));
  EXPECT_EQ(vexdaq_start(), -1);
  EXPECT_EQ(vexdaq_stop(), -1);
  vexdaq_device_close();
  expect_session_closed();
}

TEST_F(SessionLifecycle, FailedDeviceInitialisationLeavesTheSessionUnusable) {
  const int32_t id = plug();
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_ioctl=0x8094206C:0xC0000001"), 0);
  EXPECT_EQ(vexdaq_device_open(0), 0);
  EXPECT_TRUE(log_has("GET_DRIVER_INFO failed, status = 0xC0000001.\n"));
  EXPECT_TRUE(log_has("usbio core starts failed on device init\r\n"));
  expect_unusable_session_then_clean_close();
}

TEST_F(SessionLifecycle, CoreThreadThatCannotBeCreatedIsNotWaitedFor) {
  plug();
  platform::fail_next_thread_creations(1);
  EXPECT_EQ(vexdaq_device_open(0), 0);
  EXPECT_EQ(g_core.core_thread_handle, nullptr);
  EXPECT_TRUE(log_has("CreateThread usbio core failed\r\n"));
  expect_unusable_session_then_clean_close();
}

// A transfer-thread factory that cannot start the thread of `missing`.
template <platform::Thread::Entry missing>
std::unique_ptr<platform::Thread> all_but(platform::Thread::Entry entry) {
  if (entry == missing) return nullptr;
  return platform::Thread::create(entry, nullptr);
}

TEST_F(SessionLifecycle, MissingTxthreadFailsTheStartUp) {
  plug();
  set_transfer_thread_factory(all_but<txthread>);
  EXPECT_EQ(vexdaq_device_open(0), 0);
  EXPECT_TRUE(log_has("CreateThread txthread failed\r\n"));
  expect_unusable_session_then_clean_close();
}

TEST_F(SessionLifecycle, MissingRxthreadEndsTheTxthreadAlreadyRunning) {
  plug();
  set_transfer_thread_factory(all_but<rxthread>);
  EXPECT_EQ(vexdaq_device_open(0), 0);
  EXPECT_TRUE(log_has("CreateThread rxthread failed\r\n"));
  // The close joins the core, which joins the txthread it started: it returns only because that
  // thread was told to end.
  expect_unusable_session_then_clean_close();
}

}  // namespace
}  // namespace vexdaq::testing
