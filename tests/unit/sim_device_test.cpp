// The virtual instrument's own behaviour: the chip's memory load and the loader's EEPROM, the
// UART pipes, and its handles used from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "backend/driver.h"
#include "firmware/loader_image.h"
#include "platform/thread.h"
#include "protocol/little_endian.h"
#include "protocol/usbio_records.h"
#include "sim_handles.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq {
namespace {

using testing::Transfer;

class SimDevice : public testing::SimHandles {
 protected:
  bool vendor_device(bool in, uint8_t request, uint16_t value, uint8_t *data, uint32_t length,
                     uint32_t *returned = nullptr) {
    return control(in, 2, 0, request, value, 0, data, length, returned);
  }

  // Holds the CPU, places `image` at 0 and lets it run.
  void load_and_run(std::vector<uint8_t> image) {
    uint8_t hold = 1, run = 0;
    ASSERT_TRUE(vendor_device(false, 0xA0, 0xE600, &hold, 1));
    ASSERT_TRUE(vendor_device(false, 0xA0, 0, image.data(), static_cast<uint32_t>(image.size())));
    ASSERT_TRUE(vendor_device(false, 0xA0, 0xE600, &run, 1));
  }
};

TEST_F(SimDevice, LoaderServesTheEepromOnceItRuns) {
  plug_and_bind(nullptr);
  std::vector<uint8_t> data(4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  // The instrument's firmware does not know the loader's request.
  EXPECT_FALSE(vendor_device(false, 0xA9, 0, data.data(), 16));
  load_and_run(std::vector<uint8_t>(loader_image, loader_image + kLoaderImageSize));
  ASSERT_TRUE(vendor_device(false, 0xA9, 0xFFF0, data.data(), 4096));  // wraps at 64 KiB
  ASSERT_TRUE(vendor_device(false, 0xA9, 0, nullptr, 0));              // zero-length too
  std::vector<uint8_t> back(4096);
  uint32_t returned = 0;
  ASSERT_TRUE(vendor_device(true, 0xA9, 0xFFF0, back.data(), 4096, &returned));
  EXPECT_EQ(returned, 4096u);
  EXPECT_EQ(back, data);
  uint8_t wrapped[2] = {};
  ASSERT_EQ(vexdaq_sim_eeprom_read(sim_, 0, wrapped, 2), 2);
  EXPECT_EQ(wrapped[0], data[16]);
  std::vector<uint8_t> too_long(4097);
  EXPECT_FALSE(vendor_device(false, 0xA9, 0, too_long.data(), 4097));
  EXPECT_EQ(platform::last_error(), kStatusStall);
  // The loader took over endpoint 0: its own device descriptor answers now.
  uint8_t descriptor[18] = {};
  ASSERT_TRUE(control(true, 0, 0, 0x06, 0x0100, 0, descriptor, 18, &returned));
  EXPECT_EQ(returned, 18u);
  EXPECT_EQ(get_le16(descriptor + 8), 0x04B4);
}

TEST_F(SimDevice, CodeThatNeverAnswersTimesTheRequestOut) {
  plug_and_bind(nullptr);
  uint8_t release = 0;
  ASSERT_TRUE(vendor_device(false, 0xA0, 0xE600, &release, 1));  // not held: nothing to release
  EXPECT_TRUE(start_streaming());  // the instrument's own firmware still answers
  load_and_run({0x80, 0xFE});      // SJMP to itself
  uint8_t byte = 0;
  EXPECT_FALSE(vendor_device(true, 0xA9, 0, &byte, 1));
  EXPECT_EQ(platform::last_error(), kStatusTimeout);
  // The chip itself still answers its memory load.
  ASSERT_TRUE(vendor_device(true, 0xA0, 0, &byte, 1));
  EXPECT_EQ(byte, 0x80);
}

TEST_F(SimDevice, LoaderRefusesWhatTheI2cBusCannotDo) {
  plug_and_bind("eeprom_write_us=10000;eeprom_page=32");
  load_and_run(std::vector<uint8_t>(loader_image, loader_image + kLoaderImageSize));
  uint8_t data[64] = {1, 2, 3};
  data[63] = 0x3F;
  EXPECT_TRUE(vendor_device(false, 0xA9, 0x110, data, 64));  // across a page boundary
  for (const char *fault : {"i2c=stuck", "i2c=no_eeprom"}) {
    // Refused at once, not left to time out.
    ASSERT_EQ(vexdaq_sim_fault(sim_, fault), 0);
    EXPECT_FALSE(vendor_device(true, 0xA9, 0, data, 64)) << fault;
    EXPECT_EQ(platform::last_error(), kStatusStall) << fault;
    EXPECT_FALSE(vendor_device(false, 0xA9, 0, data, 64)) << fault;
    EXPECT_EQ(platform::last_error(), kStatusStall) << fault;
    ASSERT_EQ(vexdaq_sim_fault(sim_, "i2c=ok"), 0);
  }
  uint8_t back[64] = {};
  ASSERT_TRUE(vendor_device(true, 0xA9, 0x110, back, 64));
  EXPECT_EQ(std::memcmp(back, data, 64), 0);
  // A write cycle longer than the loader's acknowledge polling: the write is refused.
  ASSERT_EQ(vexdaq_sim_set(sim_, "eeprom_write_us=30000"), 0);
  EXPECT_FALSE(vendor_device(false, 0xA9, 0, data, 64));
  EXPECT_EQ(platform::last_error(), kStatusStall);
}

TEST_F(SimDevice, UartOutComesBackOnUartIn) {
  plug_and_bind(nullptr);
  Transfer read;
  ASSERT_TRUE(driver_read(handles_[4], read.record, read.buffer, 64));
  EXPECT_EQ(read.record.event->wait(10), platform::WaitResult::kTimedOut);  // nothing sent yet
  Transfer write;
  std::memcpy(write.buffer, "ping", 4);
  ASSERT_TRUE(driver_write(handles_[3], write.record, write.buffer, 4));
  ASSERT_EQ(write.record.event->wait(2000), platform::WaitResult::kSignaled);
  ASSERT_EQ(read.record.event->wait(2000), platform::WaitResult::kSignaled);
  ASSERT_EQ(read.record.internal_high.load(), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(read.buffer), 4), "ping");
}

TEST_F(SimDevice, UartWithoutLoopKeepsWhatTheHostSent) {
  plug_and_bind("uart_loop=0");
  Transfer write;
  std::memcpy(write.buffer, "abc", 3);
  ASSERT_TRUE(driver_write(handles_[3], write.record, write.buffer, 3));
  ASSERT_EQ(write.record.event->wait(2000), platform::WaitResult::kSignaled);
  uint8_t sent[8] = {};
  EXPECT_EQ(vexdaq_sim_uart_output_read(sim_, sent, sizeof sent), 3);
  const uint8_t reply[2] = {'o', 'k'};
  ASSERT_EQ(vexdaq_sim_uart_inject(sim_, reply, 2), 2);
  Transfer read;
  ASSERT_TRUE(driver_read(handles_[4], read.record, read.buffer, 64));
  ASSERT_EQ(read.record.event->wait(2000), platform::WaitResult::kSignaled);
  EXPECT_EQ(read.record.internal_high.load(), 2u);
}

TEST_F(SimDevice, StreamsWhileOtherHandlesOpenAndClose) {
  plug_and_bind("pacing=free;waveform=counter");
  ASSERT_TRUE(start_streaming());
  std::atomic<bool> done{false};
  std::thread churn([&] {
    while (!done.load()) {
      DeviceHandle h = driver_open(path_.c_str(), kAccessRead | kAccessWrite, 3, kFlagNormal);
      uint8_t info[16];
      driver_ioctl(h, IOCTL_USBIO_GET_DEVICE_INFO, nullptr, 0, info, 16, nullptr);
      driver_close(h);
    }
  });
  Transfer slots[4];
  for (Transfer &t : slots) ASSERT_TRUE(driver_read(handles_[2], t.record, t.buffer, 48));
  uint64_t frames = 0;
  for (int i = 0; i < 2000; ++i) {
    Transfer &t = slots[i % 4];
    ASSERT_EQ(t.record.event->wait(1500), platform::WaitResult::kSignaled);
    ASSERT_EQ(t.record.internal_high.load(), 48u);
    // Two frames per read, each first sample carrying its frame number.
    EXPECT_EQ(t.buffer[0], static_cast<uint8_t>(frames));
    frames += 2;
    ASSERT_TRUE(driver_read(handles_[2], t.record, t.buffer, 48));
  }
  done.store(true);
  churn.join();
  // The slots live on this stack: every transfer must have finished before they go.
  for (Transfer &t : slots) ASSERT_EQ(t.record.event->wait(1500), platform::WaitResult::kSignaled);
  EXPECT_GE(vexdaq_sim_counter(sim_, "rx_frames"), static_cast<int64_t>(frames));
}

}  // namespace
}  // namespace vexdaq
