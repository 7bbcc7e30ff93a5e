// The usb_link backend's driver operations against the virtual instrument, through the driver
// facade: the records it builds, the control transfers it sends and the bulk streams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/driver.h"
#include "backend/sim/sim_backend.h"
#include "platform/thread.h"
#include "protocol/little_endian.h"
#include "protocol/usbio_records.h"
#include "sim_handles.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq {
namespace {

using testing::take_sim_trace;
using testing::Transfer;

class SimLink : public testing::SimHandles {
 protected:
  void plug_and_open(const char *profile) { SimHandles::plug_and_open(profile, kFlagNormal); }

  // SET_CONFIGURATION, GET_CONFIGURATION_INFO and BIND_PIPE on handles 1..min(pipes, 4).
  ConfigurationInfo configure() {
    ConfigurationRequest request;
    request.interface_count = 1;
    request.settings[0].maximum_transfer_size = 4096;
    uint8_t in[kConfigurationRequestSize];
    encode(request, in);
    uint32_t returned = 99;
    EXPECT_TRUE(ioctl(0, IOCTL_USBIO_SET_CONFIGURATION, in, sizeof in, nullptr, 0, &returned));
    EXPECT_EQ(returned, 0u);
    uint8_t out[kConfigurationInfoSize];
    EXPECT_TRUE(
        ioctl(0, IOCTL_USBIO_GET_CONFIGURATION_INFO, nullptr, 0, out, sizeof out, &returned));
    EXPECT_EQ(returned, kConfigurationInfoSize);
    ConfigurationInfo info;
    EXPECT_TRUE(decode(out, sizeof out, info));
    for (uint32_t j = 0; j < info.pipe_count && j < 4; ++j) {
      uint8_t endpoint = info.pipes[j].endpoint_address;
      EXPECT_TRUE(
          ioctl(static_cast<int>(j + 1), IOCTL_USBIO_BIND_PIPE, &endpoint, 1, nullptr, 0, nullptr));
    }
    return info;
  }
};

TEST_F(SimLink, DriverInfoRecordsCarryTheProfileAndOurOwnOpens) {
  plug_and_open("driver_version=0x0251;driver_opens=2");
  uint8_t out[16] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(ioctl(0, IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, out, 12, &returned));
  EXPECT_EQ(returned, 12u);
  DriverInfo driver;
  ASSERT_TRUE(decode(out, returned, driver));
  EXPECT_EQ(driver.driver_version, 0x0251);

  ASSERT_TRUE(ioctl(0, IOCTL_USBIO_GET_DEVICE_INFO, nullptr, 0, out, 16, &returned));
  EXPECT_EQ(returned, 16u);
  EXPECT_EQ(get_le32(out + 4), 5u + 2u);  // five handles of ours, two the driver adds

  ASSERT_TRUE(ioctl(0, IOCTL_USBIO_GET_BANDWIDTH_INFO, nullptr, 0, out, 16, &returned));
  EXPECT_EQ(returned, 16u);
  EXPECT_GE(get_le32(out), get_le32(out + 4));

  // Too small an output buffer is refused, not overrun.
  EXPECT_FALSE(ioctl(0, IOCTL_USBIO_GET_DEVICE_INFO, nullptr, 0, out, 15, &returned));
  EXPECT_EQ(platform::last_error(), kStatusBufferTooSmall);
}

TEST_F(SimLink, DescriptorRequestsBecomeStandardGetDescriptor) {
  plug_and_open("protocol=3;bcd_device=0x0123;product=Bench Unit");
  take_sim_trace(sim_);
  DescriptorRequest request;
  request.descriptor_type = kDescriptorDevice;
  uint8_t in[kDescriptorRequestSize];
  encode(request, in);
  uint8_t device[18] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(
      ioctl(0, IOCTL_USBIO_GET_DESCRIPTOR, in, sizeof in, device, sizeof device, &returned));
  EXPECT_EQ(returned, 18u);
  EXPECT_EQ(device[6], 3);
  EXPECT_EQ(get_le16(device + 12), 0x0123);

  request.descriptor_type = kDescriptorString;
  request.descriptor_index = device[15];
  request.language_id = 0x0409;
  encode(request, in);
  uint8_t text[50] = {};
  ASSERT_TRUE(ioctl(0, IOCTL_USBIO_GET_DESCRIPTOR, in, sizeof in, text, sizeof text, &returned));
  EXPECT_EQ(returned, 2u + 2u * 10u);
  EXPECT_EQ(text[2], 'B');
  EXPECT_EQ(text[20], 't');

  EXPECT_EQ(take_sim_trace(sim_),
            "80 06 0100 0000 0012\n"
            "80 06 0302 0409 0032\n");
}

TEST_F(SimLink, ConfigurationInfoListsTheInterfaceEndpoints) {
  plug_and_open("pipes=7");
  take_sim_trace(sim_);
  ConfigurationInfo info = configure();
  EXPECT_EQ(info.interface_count, 1u);
  EXPECT_EQ(info.pipe_count, 7u);
  EXPECT_EQ(info.pipes[0].endpoint_address, 0x02);  // tx stream OUT
  EXPECT_EQ(info.pipes[1].endpoint_address, 0x86);  // rx stream IN
  EXPECT_EQ(info.pipes[2].endpoint_address, 0x04);  // UART OUT
  EXPECT_EQ(info.pipes[3].endpoint_address, 0x88);  // UART IN
  EXPECT_EQ(take_sim_trace(sim_), "00 09 0001 0000 0000\n");

  // A pipe the interface does not have cannot be bound.
  uint8_t missing = 0x8F;
  EXPECT_FALSE(ioctl(1, IOCTL_USBIO_BIND_PIPE, &missing, 1, nullptr, 0, nullptr));
  EXPECT_EQ(platform::last_error(), kStatusInvalidParameter);
}

TEST_F(SimLink, NoPipesMeansAnEmptyPipeList) {
  plug_and_open("pipes=0");
  EXPECT_EQ(configure().pipe_count, 0u);
}

TEST_F(SimLink, ControlRequestsCarryTheirSetupPacket) {
  plug_and_open(nullptr);
  configure();
  take_sim_trace(sim_);
  uint8_t gear = 3;
  ASSERT_TRUE(control(false, 2, 1, 0x3D, 0, 0x8500, &gear, 1));
  uint8_t line[7] = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
  ASSERT_TRUE(control(false, 1, 1, 0xE5, 0, 0, line, 7));
  uint8_t rates[8] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(control(true, 1, 1, 0xD1, 0, 0, rates, 8, &returned));
  EXPECT_EQ(returned, 8u);
  ASSERT_TRUE(control(false, 1, 1, 0xFD, 0, 0, nullptr, 0));
  uint8_t cpucs = 1;
  ASSERT_TRUE(control(false, 2, 0, 0xA0, 0xE600, 0, &cpucs, 1));
  uint8_t fpga = 0;
  // Held in reset, the instrument's own requests go unanswered.
  EXPECT_FALSE(control(true, 1, 1, 0x13, 0, 0, &fpga, 1));
  EXPECT_EQ(platform::last_error(), kStatusStall);
  EXPECT_EQ(take_sim_trace(sim_),
            "41 3D 0000 8500 0001 : 03\n"
            "21 E5 0000 0000 0007 : 00 C2 01 00 00 00 08\n"
            "A1 D1 0000 0000 0008\n"
            "21 FD 0000 0000 0000\n"
            "40 A0 E600 0000 0001 : 01\n"
            "A1 13 0000 0000 0001\n");
}

TEST_F(SimLink, RejectsMalformedControlRecords) {
  plug_and_open(nullptr);
  uint8_t record[kControlRequestSize] = {};
  ControlRequest r;
  r.type = 3;  // neither class nor vendor
  encode(r, record);
  uint8_t data[4];
  EXPECT_FALSE(ioctl(0, IOCTL_USBIO_PIPE0_CLASS_IN, record, sizeof record, data, 4, nullptr));
  EXPECT_EQ(platform::last_error(), kStatusInvalidParameter);
  EXPECT_FALSE(ioctl(0, IOCTL_USBIO_PIPE0_CLASS_IN, record, 17, data, 4, nullptr));
  EXPECT_EQ(platform::last_error(), kStatusInvalidParameter);
  EXPECT_EQ(take_sim_trace(sim_), "");
}

TEST_F(SimLink, CapabilityRepliesFollowTheProfile) {
  plug_and_open("in_channels=3;out_channels=0;in_bits=16;out_bits=32;in_rates=100,200");
  uint8_t reply[255] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(control(true, 1, 1, 0xD5, 0, 0, reply, 4, &returned));
  EXPECT_EQ(std::vector<uint8_t>(reply, reply + 4), (std::vector<uint8_t>{3, 0, 0, 0}));
  ASSERT_TRUE(control(true, 1, 1, 0xD3, 0, 0, reply, 4, &returned));
  EXPECT_EQ(std::vector<uint8_t>(reply, reply + 4), (std::vector<uint8_t>{16, 0, 32, 0}));
  ASSERT_TRUE(control(true, 1, 1, 0xD0, 0, 0x8000, reply, 255, &returned));
  EXPECT_EQ(returned, 10u);
  EXPECT_EQ(get_le16(reply), 2);
  EXPECT_EQ(get_le32(reply + 6), 200u);
}

TEST_F(SimLink, LongRateListReportsItsFullCountInAFullReply) {
  std::string rates = "in_rates=";
  for (int i = 1; i <= 70; ++i) rates += std::to_string(i * 100) + (i < 70 ? "," : "");
  plug_and_open(rates.c_str());
  uint8_t reply[255] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(control(true, 1, 1, 0xD0, 0, 0x8000, reply, 255, &returned));
  EXPECT_EQ(returned, 255u);
  EXPECT_EQ(get_le16(reply), 70);
  EXPECT_EQ(get_le32(reply + 2 + 4 * 62), 6300u);
}

TEST_F(SimLink, InjectedRequestFaults) {
  plug_and_open(nullptr);
  uint8_t reply[8] = {};
  uint32_t returned = 0;
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_request=0xD3:0xC0000001"), 0);
  EXPECT_FALSE(control(true, 1, 1, 0xD3, 0, 0, reply, 4, &returned));
  EXPECT_EQ(platform::last_error(), 0xC0000001u);
  ASSERT_EQ(vexdaq_sim_fault(sim_, "short_reply=0xD1:4"), 0);
  ASSERT_TRUE(control(true, 1, 1, 0xD1, 0, 0, reply, 8, &returned));
  EXPECT_EQ(returned, 4u);
  ASSERT_EQ(vexdaq_sim_fault(sim_, "malformed=0xD5"), 0);
  ASSERT_TRUE(control(true, 1, 1, 0xD5, 0, 0, reply, 4, &returned));
  EXPECT_EQ(get_le32(reply), 0xFFFFFFFFu);
  ASSERT_EQ(vexdaq_sim_fault(sim_, "clear"), 0);
  EXPECT_TRUE(control(true, 1, 1, 0xD3, 0, 0, reply, 4, &returned));
  EXPECT_EQ(vexdaq_sim_fault(sim_, "fail_request=oops"), -2);
  EXPECT_EQ(vexdaq_sim_fault(sim_, "explode"), -2);
  EXPECT_EQ(vexdaq_sim_fault(99, "clear"), -1);
}

TEST_F(SimLink, InjectedDriverFaultsHitOnlyTheirPipe) {
  plug_and_open(nullptr);
  configure();
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_ioctl=0x80942084@2:0xC0000001"), 0);
  EXPECT_TRUE(ioctl(1, IOCTL_USBIO_ABORT_PIPE, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_FALSE(ioctl(2, IOCTL_USBIO_ABORT_PIPE, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(platform::last_error(), 0xC0000001u);
  ASSERT_EQ(vexdaq_sim_fault(sim_, "frame_number_status=0xE000100A"), 0);
  uint8_t frame[4];
  EXPECT_FALSE(ioctl(0, IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER, nullptr, 0, frame, 4, nullptr));
  EXPECT_EQ(platform::last_error(), kStatusDeviceNotPresent);
}

TEST_F(SimLink, RxStreamDeliversTheCounterPatternInWholeFrames) {
  plug_and_open("waveform=counter;pacing=free;in_channels=8;in_bits=24");
  configure();
  ASSERT_TRUE(start_streaming());
  Transfer reads[2];
  for (Transfer &r : reads) ASSERT_TRUE(driver_read(handles_[2], r.record, r.buffer, 510));
  uint64_t frame = 0;
  for (Transfer &r : reads) {
    ASSERT_EQ(r.record.event->wait(2000), platform::WaitResult::kSignaled);
    EXPECT_EQ(r.record.internal.load(), kStatusSuccess);
    ASSERT_EQ(r.record.internal_high.load(), 504u);  // 21 whole frames of 24 bytes
    for (int f = 0; f < 21; ++f, ++frame) {
      for (uint32_t c = 0; c < 8; ++c) {
        const uint8_t *s = r.buffer + (f * 8 + c) * 3;
        uint32_t value = s[0] | (s[1] << 8) | (s[2] << 16);
        ASSERT_EQ(value, (c << 16) | (frame % 65536)) << "frame " << frame << " channel " << c;
      }
    }
  }
}

TEST_F(SimLink, TxStreamKeepsWhatItReceived) {
  plug_and_open("pacing=free;out_channels=2;out_bits=16");
  configure();
  ASSERT_TRUE(start_streaming());
  Transfer write;
  for (int i = 0; i < 8; ++i) write.buffer[i] = static_cast<uint8_t>(0x10 + i);
  ASSERT_TRUE(driver_write(handles_[1], write.record, write.buffer, 8));
  ASSERT_EQ(write.record.event->wait(2000), platform::WaitResult::kSignaled);
  EXPECT_EQ(write.record.internal_high.load(), 8u);
  uint8_t got[16] = {};
  ASSERT_EQ(vexdaq_sim_output_read(sim_, got, sizeof got), 8);
  EXPECT_EQ(got[7], 0x17);
  EXPECT_EQ(vexdaq_sim_counter(sim_, "tx_packets"), 1);
  // Reading on the write-only tx handle is refused.
  EXPECT_FALSE(driver_read(handles_[1], write.record, write.buffer, 8));
  EXPECT_EQ(platform::last_error(), kStatusAccessDenied);
}

TEST_F(SimLink, LoopbackReturnsOutputSamplesOnTheInputChannels) {
  plug_and_open("loopback=1;pacing=free;in_channels=3;out_channels=2;in_bits=16;out_bits=16");
  configure();
  ASSERT_TRUE(start_streaming());
  Transfer read;
  ASSERT_TRUE(driver_read(handles_[2], read.record, read.buffer, 510));
  Transfer write;
  const uint8_t frames[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  std::memcpy(write.buffer, frames, sizeof frames);
  ASSERT_TRUE(driver_write(handles_[1], write.record, write.buffer, sizeof frames));
  ASSERT_EQ(read.record.event->wait(2000), platform::WaitResult::kSignaled);
  ASSERT_EQ(read.record.internal_high.load(), 12u);  // two input frames of three channels
  const uint8_t expected[12] = {0x01, 0x02, 0x03, 0x04, 0, 0, 0x05, 0x06, 0x07, 0x08, 0, 0};
  EXPECT_EQ(std::memcmp(read.buffer, expected, sizeof expected), 0);
}

TEST_F(SimLink, StopRequestEndsTransfersInFlight) {
  plug_and_open(nullptr);  // paced: 21 frames at 1000 Hz would take 21 ms
  configure();
  ASSERT_TRUE(start_streaming());
  uint8_t rates[8] = {1, 0, 0, 0, 1, 0, 0, 0};  // 1 frame per second
  ASSERT_TRUE(control(false, 1, 1, 0xD1, 0, 0, rates, 8));
  Transfer read;
  ASSERT_TRUE(driver_read(handles_[2], read.record, read.buffer, 504));
  ASSERT_TRUE(control(false, 1, 1, 0xFD, 0, 0, nullptr, 0));
  ASSERT_EQ(read.record.event->wait(2000), platform::WaitResult::kSignaled);
  EXPECT_EQ(read.record.internal.load(), kStatusSuccess);
  EXPECT_EQ(read.record.internal_high.load(), 0u);
}

TEST_F(SimLink, StalledPipeCompletesOnlyWhenAborted) {
  plug_and_open("pacing=free");
  configure();
  ASSERT_TRUE(start_streaming());
  ASSERT_EQ(vexdaq_sim_fault(sim_, "stall=rx"), 0);
  Transfer read;
  ASSERT_TRUE(driver_read(handles_[2], read.record, read.buffer, 504));
  EXPECT_EQ(read.record.event->wait(20), platform::WaitResult::kTimedOut);
  ASSERT_TRUE(ioctl(2, IOCTL_USBIO_ABORT_PIPE, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_TRUE(read.record.event->is_set());  // completed before the abort returned
  EXPECT_EQ(read.record.internal.load(), kStatusCancelled);
}

TEST_F(SimLink, UnplugCompletesPendingTransfersAndFailsEverythingAfter) {
  plug_and_open(nullptr);
  configure();  // not streaming: reads stay pending
  Transfer read;
  ASSERT_TRUE(driver_read(handles_[2], read.record, read.buffer, 504));
  ASSERT_EQ(vexdaq_sim_unplug(sim_), 0);
  ASSERT_EQ(read.record.event->wait(2000), platform::WaitResult::kSignaled);
  EXPECT_EQ(read.record.internal.load(), kStatusDeviceNotPresent);
  uint8_t out[16];
  EXPECT_FALSE(ioctl(0, IOCTL_USBIO_GET_DEVICE_INFO, nullptr, 0, out, 16, nullptr));
  EXPECT_EQ(platform::last_error(), kStatusDeviceNotPresent);
  EXPECT_FALSE(driver_read(handles_[2], read.record, read.buffer, 504));
  EXPECT_EQ(platform::last_error(), kStatusDeviceNotPresent);
  EXPECT_EQ(vexdaq_sim_unplug(sim_), -1);
  std::vector<std::u16string> paths;
  ASSERT_TRUE(driver_enumerate(paths));
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(driver_open(path_.c_str(), kAccessRead, 1, kFlagOverlapped), kInvalidHandle);
}

TEST_F(SimLink, ReplugGivesANewPathAndEndsOldHandles) {
  plug_and_open(nullptr);
  ASSERT_EQ(vexdaq_sim_fault(sim_, "replug"), 0);
  std::vector<std::u16string> paths;
  ASSERT_TRUE(driver_enumerate(paths));
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_NE(paths[0], path_);
  uint8_t out[16];
  EXPECT_FALSE(ioctl(0, IOCTL_USBIO_GET_DEVICE_INFO, nullptr, 0, out, 16, nullptr));
  EXPECT_EQ(platform::last_error(), kStatusDeviceNotPresent);
  DeviceHandle fresh = driver_open(paths[0].c_str(), kAccessRead | kAccessWrite, 3, kFlagNormal);
  ASSERT_NE(fresh, kInvalidHandle);
  uint32_t returned = 0;
  EXPECT_TRUE(driver_ioctl(fresh, IOCTL_USBIO_GET_DEVICE_INFO, nullptr, 0, out, 16, &returned));
  EXPECT_EQ(get_le32(out + 4), 1u);  // the old generation's handles do not count
  driver_close(fresh);
}

TEST_F(SimLink, ClosedHandleValuesAreNotReused) {
  plug_and_open(nullptr);
  DeviceHandle old = handles_[4];
  driver_close(handles_[4]);
  EXPECT_EQ(handles_[4], kInvalidHandle);
  handles_[4] = driver_open(path_.c_str(), kAccessRead, 1, kFlagOverlapped);
  EXPECT_NE(handles_[4], old);
  uint8_t out[16];
  EXPECT_FALSE(driver_ioctl(old, IOCTL_USBIO_GET_DEVICE_INFO, nullptr, 0, out, 16, nullptr));
  EXPECT_EQ(platform::last_error(), kStatusInvalidHandle);
}

TEST_F(SimLink, TraceKeepsTheNewestLinesOnly) {
  plug_and_open(nullptr);
  uint8_t reply[4];
  ASSERT_TRUE(control(true, 1, 1, 0xD5, 0, 0, reply, 4));  // the line that is to be dropped
  for (int i = 0; i < 65536; ++i) ASSERT_TRUE(control(true, 1, 1, 0xD3, 0, 0, reply, 4));
  std::string text = take_sim_trace(sim_);
  EXPECT_EQ(text.size(), 65536u * 21u);
  EXPECT_EQ(text.find("A1 D5"), std::string::npos);
}

TEST_F(SimLink, ExclusiveInstrumentHidesRealDevicesWhilePlugged) {
  EXPECT_FALSE(sim_backend().hides_real_devices());
  int32_t shy = vexdaq_sim_plug(nullptr);
  EXPECT_FALSE(sim_backend().hides_real_devices());
  int32_t exclusive = vexdaq_sim_plug("exclusive=1");
  EXPECT_TRUE(sim_backend().hides_real_devices());
  ASSERT_EQ(vexdaq_sim_unplug(exclusive), 0);
  EXPECT_FALSE(sim_backend().hides_real_devices());
  ASSERT_EQ(vexdaq_sim_unplug(shy), 0);
}

}  // namespace
}  // namespace vexdaq
