// One USB device as plain USB operations: the layer under the usb_link backend, which carries out
// the whole driver operation table in terms of it. libusb (real devices) and the virtual
// instrument are UsbLinks.
//
// Statuses are the driver's (protocol/driver_types.h): 0 for success, kStatusDeviceNotPresent once
// the device is gone, kStatusStall for a request or endpoint the device refused, kStatusCancelled
// for a cancelled bulk transfer.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace vexdaq {

// The setup packet of a control transfer, as on the bus.
struct SetupPacket {
  uint8_t request_type = 0;  // bmRequestType; bit 7 set: device to host
  uint8_t request = 0;       // bRequest
  uint16_t value = 0;        // wValue
  uint16_t index = 0;        // wIndex
  uint16_t length = 0;       // wLength
};

inline constexpr uint8_t kDirectionIn = 0x80;

// What the driver reports about itself and the bus for this device.
struct LinkDriverInfo {
  uint16_t api_version = 0x0200;
  uint16_t driver_version = 0x0240;
  uint32_t build_number = 1;
  uint32_t total_bandwidth = 12000;  // kbit/s of a full-speed bus
  uint32_t consumed_bandwidth = 0;
};

// Called once per bulk transfer with its status and the bytes moved. Runs on the link's own
// completion thread, on the thread that calls cancel_endpoint for the transfers it cancels, or
// inside submit_bulk on the submitter's thread before it returns (a transfer that could go on at
// once; never with a lock of the link held). It must not block and must not call back into the
// link.
using BulkCompletion = void (*)(void *context, uint32_t status, uint32_t bytes);

class UsbLink {
 public:
  virtual ~UsbLink() = default;

  // False once the device is gone (every operation then fails with kStatusDeviceNotPresent).
  virtual bool present() = 0;

  // Control transfer on the default pipe. For a host-to-device request `data` holds
  // setup.length bytes to send; for device-to-host it receives up to setup.length bytes.
  // *transferred gets the data-stage bytes moved. Blocks until done; any thread.
  virtual uint32_t control_transfer(const SetupPacket &setup, uint8_t *data,
                                    uint32_t *transferred) = 0;

  // The device's configuration descriptor (all wTotalLength bytes) as cached by the host stack:
  // no bus traffic. False when the device is gone.
  virtual bool configuration_descriptor(std::vector<uint8_t> &out) = 0;

  // SET_CONFIGURATION on the bus, and claiming an interface of the configuration. Block.
  virtual uint32_t set_configuration(uint8_t configuration_value) = 0;
  virtual uint32_t claim_interface(uint8_t interface_number) = 0;

  // Starts a bulk transfer on an endpoint (bit 7 of the address gives the direction). The buffer
  // must stay valid until the completion has run. Returns 0 once queued (the completion then
  // runs exactly once), or a status without queuing (no completion). Never blocks.
  virtual uint32_t submit_bulk(uint8_t endpoint, uint8_t *buffer, uint32_t length,
                               BulkCompletion completion, void *context) = 0;

  // Cancels every pending transfer of the endpoint; each has completed with kStatusCancelled
  // when this returns. Blocks briefly; not from a completion.
  virtual void cancel_endpoint(uint8_t endpoint) = 0;

  // CLEAR_FEATURE(ENDPOINT_HALT) on the bus. Blocks.
  virtual uint32_t clear_halt(uint8_t endpoint) = 0;

  // The bus frame counter.
  virtual uint32_t frame_number(uint32_t *frame) = 0;

  virtual LinkDriverInfo driver_info() = 0;

  // Whether the device's own clock paces its streams, as every real device's does: a stream
  // transfer then waits for its frames. A free-running virtual instrument completes them as fast
  // as they are posted.
  virtual bool paced() { return true; }

  // Handles held on the device outside this process (reported by the driver's open count).
  virtual uint32_t extra_opens() { return 0; }

  // Handles of this process open on the device, counted by the usb_link backend as it opens and
  // closes them. Any thread.
  uint32_t open_handles() const { return open_handles_.load(); }
  void note_handle_opened() { open_handles_.fetch_add(1); }
  void note_handle_closed() { open_handles_.fetch_sub(1); }

 private:
  std::atomic<uint32_t> open_handles_{0};
};

}  // namespace vexdaq
