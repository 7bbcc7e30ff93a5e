// One real USB device as a UsbLink over libusb.
//
// Bulk transfers are libusb transfers submitted asynchronously; their callbacks run on the
// context's event thread and complete the caller's records. cancel_endpoint cancels and then
// waits until every callback of the endpoint has run, so a cancelled record is finished when it
// returns.
#pragma once

#include <libusb.h>

#include <chrono>
#include <memory>
#include <vector>

#include "backend/libusb/libusb_context.h"
#include "platform/sync.h"
#include "protocol/usb_link.h"

namespace vexdaq {

class LibusbLink final : public UsbLink {
 public:
  // A link on an open libusb handle (taken over: closed with the link). The context must have
  // counted the device open (LibusbContext::device_opened).
  LibusbLink(std::shared_ptr<LibusbContext> context, libusb_device *device,
             libusb_device_handle *handle);
  // A link to a device this process may not open: it answers the device descriptor from the
  // host's cache and fails everything else with `open_status`.
  LibusbLink(std::shared_ptr<LibusbContext> context, libusb_device *device, uint32_t open_status);
  // Cancels what is pending (waiting for the callbacks), releases the claimed interfaces and
  // closes the handle. Not on the event thread.
  ~LibusbLink() override;

  bool present() override { return !gone_.load(); }
  uint32_t control_transfer(const SetupPacket &setup, uint8_t *data,
                            uint32_t *transferred) override;
  bool configuration_descriptor(std::vector<uint8_t> &out) override;
  uint32_t set_configuration(uint8_t configuration_value) override;
  uint32_t claim_interface(uint8_t interface_number) override;
  uint32_t submit_bulk(uint8_t endpoint, uint8_t *buffer, uint32_t length,
                       BulkCompletion completion, void *context) override;
  void cancel_endpoint(uint8_t endpoint) override;
  uint32_t clear_halt(uint8_t endpoint) override;
  // libusb has no frame counter: milliseconds since the link was opened, which grows as a
  // full-speed frame number does (one per millisecond) and never goes back.
  uint32_t frame_number(uint32_t *frame) override;
  LinkDriverInfo driver_info() override;

 private:
  struct Transfer {
    LibusbLink *link = nullptr;
    libusb_transfer *transfer = nullptr;
    uint8_t endpoint = 0;
    bool cancel_requested = false;
    BulkCompletion completion = nullptr;
    void *context = nullptr;
  };

  static void LIBUSB_CALL on_transfer_done(libusb_transfer *transfer);
  void cache_descriptors();
  // The status for a failed libusb call; notes a device that has gone.
  uint32_t failed(int error);
  void cancel_matching(bool all, uint8_t endpoint) EXCLUDES(mutex_);

  const std::shared_ptr<LibusbContext> context_;
  libusb_device *const device_;         // referenced while the link lives
  libusb_device_handle *const handle_;  // null for a link that could not be opened
  const uint32_t open_status_;          // why handle_ is null
  const std::chrono::steady_clock::time_point opened_at_;
  std::vector<uint8_t> device_descriptor_;  // 18 bytes as on the bus; empty if unknown
  std::vector<uint8_t> config_descriptor_;  // the first configuration, wTotalLength bytes
  std::atomic<bool> gone_{false};

  platform::Mutex mutex_;
  platform::CondVar settled_;                           // a transfer's callback has finished
  std::vector<Transfer *> pending_ GUARDED_BY(mutex_);  // submitted, callback not yet finished
  std::vector<std::unique_ptr<Transfer>> transfers_ GUARDED_BY(mutex_);  // every record, reused
  std::vector<Transfer *> idle_ GUARDED_BY(mutex_);  // records free for the next submit
  std::vector<uint8_t> claimed_ GUARDED_BY(mutex_);
};

}  // namespace vexdaq
