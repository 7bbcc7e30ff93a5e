// The exported API end to end on an instrument reached through libusb: descriptors, control
// transfers, bulk URBs, cancellation and unplug all pass libusb's Linux code and the faked usbfs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "backend/driver.h"
#include "backend/libusb/libusb_backend.h"
#include "backend/libusb/libusb_context.h"
#include "backend/libusb/libusb_link.h"
#include "device/device_state.h"
#include "libusb/fake_usbfs.h"
#include "session/session_state.h"
#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {
namespace {

class LibusbSession : public ::testing::Test {
 protected:
  void TearDown() override {
    vexdaq_dispose_buffers();  // the channel tables outlive a session
    vexdaq_device_close();
    vexdaq_sim_reset();
  }

  std::shared_ptr<sim::Instrument> open(const std::string &profile) {
    auto instrument = bus_.add_instrument("4", profile);
    EXPECT_EQ(vexdaq_device_open(0), 0);
    EXPECT_NE(g_session.session_token.load(), 0u) << read_log();
    return instrument;
  }

  FakeUsbBus bus_;
};

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

TEST(LibusbDiscovery, RealDevicesComeBeforeVirtualOnesUnlessAnExclusiveOneHidesThem) {
  FakeUsbBus bus;
  auto instrument = bus.add_instrument("4", "");
  const int32_t sim = vexdaq_sim_plug("");
  EXPECT_EQ(vexdaq_device_list(), 2);
  ASSERT_EQ(vexdaq_device_open(0), 0);
  EXPECT_NE(take_trace(*instrument), "");  // index 0 is the device on the bus
  vexdaq_device_close();
  ASSERT_EQ(vexdaq_sim_set(sim, "exclusive=1"), 0);
  EXPECT_EQ(vexdaq_device_list(), 1);
  vexdaq_sim_reset();
}

TEST(LibusbDiscovery, AnUnknownPathDoesNotOpen) {
  FakeUsbBus bus;
  bus.add_instrument("4", "");
  EXPECT_EQ(driver_open(u"usb:1-5", kAccessRead | kAccessWrite, 3, kFlagNormal), kInvalidHandle);
  EXPECT_EQ(platform::last_error(), kStatusFileNotFound);
  EXPECT_EQ(vexdaq_get_last_open_status(), kStatusFileNotFound);
}

TEST(LibusbStatus, LibusbErrorsBecomeTheDriverStatusesTheLibraryKnows) {
  EXPECT_EQ(libusb_error_status(LIBUSB_SUCCESS), kStatusSuccess);
  EXPECT_EQ(libusb_error_status(LIBUSB_ERROR_ACCESS), kStatusAccessDenied);
  EXPECT_EQ(libusb_error_status(LIBUSB_ERROR_NOT_FOUND), kStatusFileNotFound);
  EXPECT_EQ(libusb_error_status(LIBUSB_ERROR_NO_DEVICE), kStatusDeviceNotPresent);
  EXPECT_EQ(libusb_error_status(LIBUSB_ERROR_PIPE), kStatusStall);
  EXPECT_EQ(libusb_error_status(LIBUSB_ERROR_TIMEOUT), kStatusTimeout);
  EXPECT_EQ(libusb_error_status(LIBUSB_ERROR_BUSY), kStatusAccessDenied);
  EXPECT_EQ(libusb_error_status(LIBUSB_ERROR_IO), kStatusTransferError);
  EXPECT_EQ(libusb_transfer_status(LIBUSB_TRANSFER_COMPLETED), kStatusSuccess);
  EXPECT_EQ(libusb_transfer_status(LIBUSB_TRANSFER_NO_DEVICE), kStatusDeviceNotPresent);
  EXPECT_EQ(libusb_transfer_status(LIBUSB_TRANSFER_CANCELLED), kStatusCancelled);
  EXPECT_EQ(libusb_transfer_status(LIBUSB_TRANSFER_STALL), kStatusStall);
  EXPECT_EQ(libusb_transfer_status(LIBUSB_TRANSFER_TIMED_OUT), kStatusTimeout);
}

// A device this user may not open still answers discovery's probe, from the host's copy of its
// descriptor, and refuses everything else with the open's status.
TEST(LibusbStatus, ADeviceThatCannotBeOpenedAnswersOnlyItsDeviceDescriptor) {
  FakeUsbBus bus;
  auto instrument = bus.add_instrument("4", "");
  std::shared_ptr<LibusbContext> context = LibusbContext::acquire();
  ASSERT_TRUE(context);
  libusb_device **list = nullptr;
  ssize_t count = libusb_get_device_list(context->get(), &list);
  libusb_device *device = nullptr;
  for (ssize_t i = 0; i < count; ++i) {
    if (libusb_get_device_address(list[i]) == 2) device = list[i];
  }
  ASSERT_NE(device, nullptr);
  {
    LibusbLink link(context, device, kStatusAccessDenied);
    uint8_t reply[18] = {};
    uint32_t moved = 0;
    SetupPacket get_device{kDirectionIn, 0x06, 0x0100, 0, 18};
    EXPECT_EQ(link.control_transfer(get_device, reply, &moved), kStatusSuccess);
    EXPECT_EQ(moved, 18u);
    EXPECT_EQ(reply[6], 3);  // bDeviceProtocol
    SetupPacket vendor{0xC0, 0xD0, 0, 0, 4};
    EXPECT_EQ(link.control_transfer(vendor, reply, &moved), kStatusAccessDenied);
    EXPECT_EQ(link.set_configuration(1), kStatusAccessDenied);
  }
  libusb_free_device_list(list, 1);
  EXPECT_EQ(take_trace(*instrument), "");  // nothing went to the device
}

TEST_F(LibusbSession, OpenInitialisesTheDeviceThroughLibusb) {
  auto instrument = open("");
  int32_t bits = 0, channels = 0;
  EXPECT_EQ(vexdaq_get_stream_format(1, &bits, &channels), 0);
  EXPECT_EQ(bits, 24);
  EXPECT_EQ(channels, 8);
  char name[256] = {};
  EXPECT_GT(vexdaq_get_device_name(name), 0);
  EXPECT_STREQ(name, "VX-8 Virtual Instrument");
  const std::string trace = take_trace(*instrument);
  EXPECT_NE(trace.find("80 06 0100 0000 0012"), std::string::npos) << trace;
  EXPECT_NE(read_log().find("usb:1-4"), std::string::npos);
  vexdaq_device_close();
  EXPECT_EQ(g_device.control_handle, kInvalidHandle);
}

// libusb's context, and with it the event thread, lives exactly while a device is open.
TEST_F(LibusbSession, ClosingTheLastDeviceReleasesTheContextAndItsEventThread) {
  bus_.add_instrument("4", "");
  ASSERT_EQ(vexdaq_device_open(0), 0);
  std::weak_ptr<LibusbContext> context = LibusbContext::acquire();
  ASSERT_FALSE(context.expired());
  vexdaq_device_close();
  EXPECT_TRUE(context.expired());
}

// The same commands give the same bytes on the bus as on the in-process virtual instrument.
TEST_F(LibusbSession, CommandsSendExactlyTheRequestsOfTheInProcessInstrument) {
  const std::function<void()> commands = [] {
    uint8_t byte = 0x5A;
    uint8_t i2c[4] = {1, 2, 3, 4};
    uint32_t a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(vexdaq_set_gpio_mode(0x105, 3), 0);
    EXPECT_EQ(vexdaq_digital_io_write(1, &byte, 1), 0);
    EXPECT_EQ(vexdaq_digital_io_read(1, &byte, 1), 0);
    EXPECT_EQ(vexdaq_set_pwm(2, 1000, 25), 0);
    EXPECT_EQ(vexdaq_set_counter(1, 2, 1), 0);
    EXPECT_EQ(vexdaq_counter_read(1, &a, &b, &c, &d), 0);
    EXPECT_EQ(vexdaq_set_uart_line_code(115200, 0, 0, 8), 0);
    EXPECT_EQ(vexdaq_I2C_Reg_Write(0x1234, i2c, 4), 0);
    EXPECT_EQ(vexdaq_I2C_Reg_Read(0x1234, i2c, 4), 0);
    EXPECT_EQ(vexdaq_set_sample_rate(2000, 4000), 0);
    EXPECT_EQ(vexdaq_start(), 0);
    EXPECT_EQ(vexdaq_stop(), 0);
    vexdaq_device_close();  // waits for the asynchronous messages
  };
  auto instrument = open("");
  take_trace(*instrument);
  commands();
  const std::string over_libusb = take_trace(*instrument);

  const int32_t sim = vexdaq_sim_plug("exclusive=1");
  ASSERT_EQ(vexdaq_device_open(0), 0);
  std::vector<char> text(1 << 20);
  vexdaq_sim_trace(sim, text.data(), static_cast<int32_t>(text.size()));
  commands();
  ASSERT_GT(vexdaq_sim_trace(sim, text.data(), static_cast<int32_t>(text.size())), 0);
  EXPECT_EQ(over_libusb, std::string(text.data()));
  EXPECT_NE(over_libusb.find("41 C5"), std::string::npos) << over_libusb;  // the PWM request
}

TEST_F(LibusbSession, UartBytesGoOutAndComeBack) {
  open("uart_loop=1");
  const uint8_t sent[5] = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(vexdaq_UART_Write(sent, 5), 5);
  uint8_t got[64] = {};
  int32_t total = 0;
  for (int tries = 0; tries < 20 && total < 5; ++tries) {
    const int32_t n = vexdaq_UART_Read(got + total, static_cast<int32_t>(sizeof got) - total);
    ASSERT_GE(n, 0);
    total += n;
  }
  ASSERT_EQ(total, 5);
  EXPECT_EQ(std::memcmp(got, sent, 5), 0);
}

// A read that nothing answers is finished, cancelled, when the cancel returns.
TEST_F(LibusbSession, CancelFinishesAPendingReadBeforeItReturns) {
  open("uart_loop=0");
  Overlapped record;
  record.event = platform::create_event(false);
  ASSERT_TRUE(record.event);
  uint8_t buffer[64];
  ASSERT_TRUE(driver_read(g_device.pipe_handles[3], record, buffer, sizeof buffer));
  EXPECT_EQ(record.event->wait(20), platform::WaitResult::kTimedOut);
  ASSERT_TRUE(driver_cancel(g_device.pipe_handles[3]));
  EXPECT_EQ(record.event->wait(0), platform::WaitResult::kSignaled);
  EXPECT_EQ(record.internal.load(), kStatusCancelled);
}

TEST_F(LibusbSession, FirmwareIsWrittenAndReadBack) {
  auto instrument = open("");
  std::vector<uint8_t> file(10000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  {
    std::ofstream out("firmware.bin", std::ios::binary);
    out.write(reinterpret_cast<const char *>(file.data()),
              static_cast<std::streamsize>(file.size()));
  }
  EXPECT_EQ(vexdaq_firmware_download("firmware.bin"), 0) << read_log();
  std::vector<uint8_t> eeprom(file.size());
  EXPECT_EQ(instrument->read_eeprom(0, eeprom.data(), static_cast<int32_t>(eeprom.size())),
            static_cast<int32_t>(eeprom.size()));
  EXPECT_EQ(eeprom, file);
}

// Pulling the cable mid-stream: the transfers end with the device gone, the stream stops on the
// not-present path, and closing returns.
TEST_F(LibusbSession, UnplugMidStreamEndsInDeviceNotPresentWithoutAHang) {
  auto instrument = open("waveform=counter;pacing=realtime;in_channels=2;in_bits=16");
  ASSERT_EQ(vexdaq_create_buffers(1024, 1 << 16), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x3), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  std::vector<uint8_t> buffer(2 * 256 * 2);
  ASSERT_EQ(vexdaq_recv_all_data(0, buffer.data(), 256 * 2, 1), 256 * 2);
  instrument->unplug();
  // The blocking call is released by the failure instead of waiting for data that cannot come.
  int32_t result = 0;
  for (int i = 0; i < 1000 && result >= 0; ++i) {
    result = vexdaq_recv_all_data(0, buffer.data(), 256 * 2, 1);
  }
  EXPECT_LT(result, 0);
  vexdaq_device_close();
  const std::string log = read_log();
  EXPECT_NE(log.find("status = 0xE000100A"), std::string::npos) << log;
}

}  // namespace
}  // namespace vexdaq::testing
