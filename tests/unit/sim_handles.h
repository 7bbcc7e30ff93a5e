// A virtual instrument driven through the driver facade as the library drives it: its five
// handles, its configuration and pipe bindings, and its control requests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "backend/driver.h"
#include "platform/sync.h"
#include "protocol/usbio_records.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {

// One transfer on a pipe: its record, with an event to wait on, and room for a packet.
struct Transfer {
  Overlapped record;
  uint8_t buffer[540] = {};
  Transfer() { record.event = platform::create_event(false); }
};

class SimHandles : public ::testing::Test {
 protected:
  void TearDown() override {
    for (DeviceHandle &h : handles_) driver_close(h);
    vexdaq_sim_reset();
  }

  // Plugs an instrument and opens its five handles: 0 for control requests (with
  // `control_flags`), 1 to 4 for the pipes.
  void plug_and_open(const char *profile, uint32_t control_flags = kFlagOverlapped) {
    sim_ = vexdaq_sim_plug(profile);
    ASSERT_GE(sim_, 0);
    std::vector<std::u16string> paths;
    ASSERT_TRUE(driver_enumerate(paths));
    ASSERT_EQ(paths.size(), 1u);
    path_ = paths[0];
    const uint32_t access[5] = {kAccessRead | kAccessWrite, kAccessWrite, kAccessRead, kAccessWrite,
                                kAccessRead};
    for (int i = 0; i < 5; ++i) {
      handles_[i] =
          driver_open(path_.c_str(), access[i], 3, i == 0 ? control_flags : kFlagOverlapped);
      ASSERT_NE(handles_[i], kInvalidHandle);
    }
  }

  // Sets the one configuration and binds handles 1 to 4 to the tx, rx, UART OUT and UART IN pipes.
  void configure_and_bind() {
    uint8_t in[kConfigurationRequestSize] = {};
    ConfigurationRequest request;
    request.interface_count = 1;
    encode(request, in);
    ASSERT_TRUE(driver_ioctl(handles_[0], IOCTL_USBIO_SET_CONFIGURATION, in, sizeof in, nullptr, 0,
                             nullptr));
    const uint8_t endpoints[4] = {0x02, 0x86, 0x04, 0x88};
    for (int j = 0; j < 4; ++j) {
      ASSERT_TRUE(driver_ioctl(handles_[j + 1], IOCTL_USBIO_BIND_PIPE, &endpoints[j], 1, nullptr, 0,
                               nullptr));
    }
  }

  // Plugs, opens, configures and binds: an instrument ready for transfers on every pipe.
  void plug_and_bind(const char *profile) {
    ASSERT_NO_FATAL_FAILURE(plug_and_open(profile));
    ASSERT_NO_FATAL_FAILURE(configure_and_bind());
  }

  bool ioctl(int handle, uint32_t code, const void *in, uint32_t in_size, void *out,
             uint32_t out_size, uint32_t *returned) {
    return driver_ioctl(handles_[handle], code, in, in_size, out, out_size, returned);
  }

  // A class request on the control pipe.
  bool control(bool device_to_host, uint32_t type, uint32_t recipient, uint8_t request,
               uint16_t value, uint16_t index, void *data, uint32_t length,
               uint32_t *returned = nullptr) {
    ControlRequest r;
    r.flags = 0x10000;
    r.type = type;
    r.recipient = recipient;
    r.request = request;
    r.value = value;
    r.index = index;
    uint8_t in[kControlRequestSize];
    encode(r, in);
    uint32_t got = 0;
    bool ok = ioctl(0, device_to_host ? IOCTL_USBIO_PIPE0_CLASS_IN : IOCTL_USBIO_PIPE0_CLASS_OUT,
                    in, sizeof in, data, length, &got);
    if (returned != nullptr) *returned = got;
    return ok;
  }

  // The instrument's start request: its stream pipes move from now on.
  bool start_streaming() { return control(false, 1, 1, 0xFE, 0, 0, nullptr, 0); }

  int32_t sim_ = -1;
  std::u16string path_;
  DeviceHandle handles_[5] = {kInvalidHandle, kInvalidHandle, kInvalidHandle, kInvalidHandle,
                              kInvalidHandle};
};

}  // namespace vexdaq::testing
