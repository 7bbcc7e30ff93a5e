// The usb_link backend against a device whose every answer comes from the fuzz input: control
// replies of any length, any configuration descriptor, failures anywhere. Each driver operation
// must stay inside the caller's buffers and report no more bytes than they hold.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "backend/driver.h"
#include "backend/usb_link/usb_link_file.h"
#include "protocol/usb_link.h"

namespace {

using namespace vexdaq;

class FuzzLink final : public UsbLink {
 public:
  explicit FuzzLink(FuzzedDataProvider &input) : input_(input) {}

  bool present() override { return input_.ConsumeIntegralInRange<int>(0, 31) != 0; }

  uint32_t control_transfer(const SetupPacket &setup, uint8_t *data,
                            uint32_t *transferred) override {
    *transferred = 0;
    if (input_.ConsumeIntegralInRange<int>(0, 15) == 0) return failure();
    if ((setup.request_type & kDirectionIn) != 0) {
      // Never more than wLength: the bus cannot carry more.
      const auto wanted = input_.ConsumeIntegralInRange<size_t>(0, setup.length);
      const std::vector<uint8_t> reply = input_.ConsumeBytes<uint8_t>(wanted);
      if (!reply.empty()) std::memcpy(data, reply.data(), reply.size());
      *transferred = static_cast<uint32_t>(reply.size());
    } else {
      *transferred = setup.length;
    }
    return kStatusSuccess;
  }

  bool configuration_descriptor(std::vector<uint8_t> &out) override {
    out = input_.ConsumeBytes<uint8_t>(input_.ConsumeIntegralInRange<size_t>(0, 700));
    return input_.ConsumeIntegralInRange<int>(0, 31) != 0;
  }
  uint32_t set_configuration(uint8_t) override { return maybe_fail(); }
  uint32_t claim_interface(uint8_t) override { return maybe_fail(); }
  uint32_t submit_bulk(uint8_t, uint8_t *, uint32_t, BulkCompletion, void *) override {
    return kStatusStall;  // never queued: no completion to run
  }
  void cancel_endpoint(uint8_t) override {}
  uint32_t clear_halt(uint8_t) override { return maybe_fail(); }
  uint32_t frame_number(uint32_t *frame) override {
    *frame = input_.ConsumeIntegral<uint32_t>();
    return maybe_fail();
  }
  LinkDriverInfo driver_info() override {
    LinkDriverInfo info;
    info.api_version = input_.ConsumeIntegral<uint16_t>();
    info.driver_version = input_.ConsumeIntegral<uint16_t>();
    info.build_number = input_.ConsumeIntegral<uint32_t>();
    info.total_bandwidth = input_.ConsumeIntegral<uint32_t>();
    info.consumed_bandwidth = input_.ConsumeIntegral<uint32_t>();
    return info;
  }
  uint32_t extra_opens() override { return input_.ConsumeIntegral<uint32_t>(); }

 private:
  uint32_t failure() {
    return input_.PickValueInArray({kStatusStall, kStatusDeviceNotPresent, kStatusTransferError});
  }
  uint32_t maybe_fail() {
    return input_.ConsumeIntegralInRange<int>(0, 15) == 0 ? failure() : kStatusSuccess;
  }
  FuzzedDataProvider &input_;
};

constexpr uint32_t kCodes[] = {
    IOCTL_USBIO_GET_DESCRIPTOR,
    IOCTL_USBIO_SET_CONFIGURATION,
    IOCTL_USBIO_PIPE0_CLASS_IN,
    IOCTL_USBIO_PIPE0_CLASS_OUT,
    IOCTL_USBIO_GET_CONFIGURATION_INFO,
    IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER,
    IOCTL_USBIO_GET_BANDWIDTH_INFO,
    IOCTL_USBIO_GET_DEVICE_INFO,
    IOCTL_USBIO_GET_DRIVER_INFO,
    IOCTL_USBIO_BIND_PIPE,
    IOCTL_USBIO_RESET_PIPE,
    IOCTL_USBIO_ABORT_PIPE,
    IOCTL_USBIO_GET_PIPE_PARAMETERS,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  auto link = std::make_shared<FuzzLink>(input);
  std::unique_ptr<OpenFile> file =
      open_usb_link_file(link, kAccessRead | kAccessWrite, kShareRead | kShareWrite,
                         input.ConsumeBool() ? kFlagOverlapped : kFlagNormal);
  if (file == nullptr) return 0;
  for (int step = 0; step < 24 && input.remaining_bytes() > 0; ++step) {
    const uint32_t code =
        input.ConsumeBool() ? input.PickValueInArray(kCodes) : input.ConsumeIntegral<uint32_t>();
    // Exactly sized heap buffers (or none), so that any access beyond them is caught.
    std::vector<uint8_t> in =
        input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
    const auto out_size = input.ConsumeIntegralInRange<uint32_t>(0, 1024);
    std::unique_ptr<uint8_t[]> out(out_size == 0 ? nullptr : new uint8_t[out_size]);
    uint32_t returned = 0;
    const bool ok =
        file->ioctl(code, in.empty() ? nullptr : in.data(), static_cast<uint32_t>(in.size()),
                    out.get(), out_size, input.ConsumeBool() ? &returned : nullptr);
    if (ok && returned > out_size) std::abort();
  }
  file->cancel();
  return 0;
}
