#include "backend/libusb/libusb_link.h"

#include <algorithm>
#include <cstring>

#include "backend/driver.h"
#include "backend/libusb/libusb_backend.h"
#include "protocol/little_endian.h"

namespace vexdaq {
namespace {

// 5 s: the instrument answers every control request within milliseconds; a request that takes
// longer has met a device that stopped answering.
constexpr unsigned int kControlTimeoutMs = 5000;
// How long cancel_endpoint waits for libusb before it asks again; a lost cancellation is then
// retried instead of hanging the caller.
constexpr auto kCancelRetry = std::chrono::milliseconds(500);

constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint16_t kDeviceDescriptorValue = 0x0100;  // type 1, index 0

void put16(std::vector<uint8_t> &out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void append(std::vector<uint8_t> &out, const unsigned char *extra, int length) {
  if (extra != nullptr && length > 0) out.insert(out.end(), extra, extra + length);
}

std::vector<uint8_t> encode_device_descriptor(const libusb_device_descriptor &d) {
  std::vector<uint8_t> out;
  out.push_back(LIBUSB_DT_DEVICE_SIZE);
  out.push_back(LIBUSB_DT_DEVICE);
  put16(out, d.bcdUSB);
  out.push_back(d.bDeviceClass);
  out.push_back(d.bDeviceSubClass);
  out.push_back(d.bDeviceProtocol);
  out.push_back(d.bMaxPacketSize0);
  put16(out, d.idVendor);
  put16(out, d.idProduct);
  put16(out, d.bcdDevice);
  out.push_back(d.iManufacturer);
  out.push_back(d.iProduct);
  out.push_back(d.iSerialNumber);
  out.push_back(d.bNumConfigurations);
  return out;
}

// libusb hands out configurations parsed; the usb_link layer reads them as on the bus. Unknown
// descriptors travel in the `extra` bytes and are put back where they stood.
std::vector<uint8_t> encode_configuration(const libusb_config_descriptor &c) {
  std::vector<uint8_t> out;
  out.push_back(LIBUSB_DT_CONFIG_SIZE);
  out.push_back(LIBUSB_DT_CONFIG);
  put16(out, 0);  // wTotalLength, set below
  out.push_back(c.bNumInterfaces);
  out.push_back(c.bConfigurationValue);
  out.push_back(c.iConfiguration);
  out.push_back(c.bmAttributes);
  out.push_back(c.MaxPower);
  append(out, c.extra, c.extra_length);
  for (int i = 0; i < c.bNumInterfaces; ++i) {
    const libusb_interface &interface = c.interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor &s = interface.altsetting[a];
      out.push_back(LIBUSB_DT_INTERFACE_SIZE);
      out.push_back(LIBUSB_DT_INTERFACE);
      out.push_back(s.bInterfaceNumber);
      out.push_back(s.bAlternateSetting);
      out.push_back(s.bNumEndpoints);
      out.push_back(s.bInterfaceClass);
      out.push_back(s.bInterfaceSubClass);
      out.push_back(s.bInterfaceProtocol);
      out.push_back(s.iInterface);
      append(out, s.extra, s.extra_length);
      for (int e = 0; e < s.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor &p = s.endpoint[e];
        out.push_back(LIBUSB_DT_ENDPOINT_SIZE);
        out.push_back(LIBUSB_DT_ENDPOINT);
        out.push_back(p.bEndpointAddress);
        out.push_back(p.bmAttributes);
        put16(out, p.wMaxPacketSize);
        out.push_back(p.bInterval);
        append(out, p.extra, p.extra_length);
      }
    }
  }
  size_t total = std::min<size_t>(out.size(), 0xFFFF);
  out.resize(total);
  put_le16(&out[2], static_cast<uint16_t>(total));
  return out;
}

}  // namespace

LibusbLink::LibusbLink(std::shared_ptr<LibusbContext> context, libusb_device *device,
                       libusb_device_handle *handle)
    : context_(std::move(context)),
      device_(libusb_ref_device(device)),
      handle_(handle),
      open_status_(kStatusSuccess),
      opened_at_(std::chrono::steady_clock::now()) {
  cache_descriptors();
}

LibusbLink::LibusbLink(std::shared_ptr<LibusbContext> context, libusb_device *device,
                       uint32_t open_status)
    : context_(std::move(context)),
      device_(libusb_ref_device(device)),
      handle_(nullptr),
      open_status_(open_status),
      opened_at_(std::chrono::steady_clock::now()) {
  cache_descriptors();
}

LibusbLink::~LibusbLink() {
  if (handle_ != nullptr) {
    cancel_matching(true, 0);
    for (uint8_t number : claimed_) libusb_release_interface(handle_, number);
    libusb_close(handle_);
    context_->device_closed();
  }
  for (auto &record : transfers_) libusb_free_transfer(record->transfer);
  libusb_unref_device(device_);
}

void LibusbLink::cache_descriptors() {
  libusb_device_descriptor d;
  if (libusb_get_device_descriptor(device_, &d) == LIBUSB_SUCCESS) {
    device_descriptor_ = encode_device_descriptor(d);
  }
  libusb_config_descriptor *c = nullptr;
  if (libusb_get_config_descriptor(device_, 0, &c) == LIBUSB_SUCCESS) {
    config_descriptor_ = encode_configuration(*c);
    libusb_free_config_descriptor(c);
  }
}

uint32_t LibusbLink::failed(int error) {
  uint32_t status = libusb_error_status(error);
  if (status == kStatusDeviceNotPresent) gone_.store(true);
  return status;
}

uint32_t LibusbLink::control_transfer(const SetupPacket &setup, uint8_t *data,
                                      uint32_t *transferred) {
  *transferred = 0;
  if (handle_ == nullptr) {
    // The descriptor probe of a device we may not open: the host's copy answers it.
    bool device_descriptor = setup.request_type == kDirectionIn &&
                             setup.request == kGetDescriptor &&
                             setup.value == kDeviceDescriptorValue;
    if (!device_descriptor || device_descriptor_.empty()) return open_status_;
    uint32_t n = std::min<uint32_t>(setup.length, static_cast<uint32_t>(device_descriptor_.size()));
    if (n > 0) std::memcpy(data, device_descriptor_.data(), n);
    *transferred = n;
    return kStatusSuccess;
  }
  if (gone_.load()) return kStatusDeviceNotPresent;
  int result =
      libusb_control_transfer(handle_, setup.request_type, setup.request, setup.value, setup.index,
                              setup.length > 0 ? data : nullptr, setup.length, kControlTimeoutMs);
  if (result < 0) return failed(result);
  *transferred = std::min<uint32_t>(static_cast<uint32_t>(result), setup.length);
  return kStatusSuccess;
}

bool LibusbLink::configuration_descriptor(std::vector<uint8_t> &out) {
  if (gone_.load() || config_descriptor_.empty()) return false;
  out = config_descriptor_;
  return true;
}

uint32_t LibusbLink::set_configuration(uint8_t configuration_value) {
  if (handle_ == nullptr) return open_status_;
  if (gone_.load()) return kStatusDeviceNotPresent;
  std::vector<uint8_t> claimed;
  {
    platform::MutexLock lock(mutex_);
    claimed.swap(claimed_);
  }
  // A configuration cannot change under a claimed interface; setting one starts afresh, so the
  // interfaces are claimed again afterwards.
  for (uint8_t number : claimed) libusb_release_interface(handle_, number);
  int result = libusb_set_configuration(handle_, configuration_value);
  return result < 0 ? failed(result) : kStatusSuccess;
}

uint32_t LibusbLink::claim_interface(uint8_t interface_number) {
  if (handle_ == nullptr) return open_status_;
  if (gone_.load()) return kStatusDeviceNotPresent;
  {
    platform::MutexLock lock(mutex_);
    if (std::find(claimed_.begin(), claimed_.end(), interface_number) != claimed_.end()) {
      return kStatusSuccess;
    }
  }
  int result = libusb_claim_interface(handle_, interface_number);
  if (result < 0) return failed(result);
  platform::MutexLock lock(mutex_);
  claimed_.push_back(interface_number);
  return kStatusSuccess;
}

uint32_t LibusbLink::submit_bulk(uint8_t endpoint, uint8_t *buffer, uint32_t length,
                                 BulkCompletion completion, void *context) {
  if (handle_ == nullptr) return open_status_;
  if (gone_.load()) return kStatusDeviceNotPresent;
  if (length > static_cast<uint32_t>(INT32_MAX)) return kStatusInvalidParameter;
  Transfer *record = nullptr;
  {
    platform::MutexLock lock(mutex_);
    if (idle_.empty()) {
      libusb_transfer *transfer = libusb_alloc_transfer(0);
      if (transfer == nullptr) return kStatusNotEnoughMemory;
      transfers_.push_back(std::make_unique<Transfer>());
      transfers_.back()->transfer = transfer;
      record = transfers_.back().get();
    } else {
      record = idle_.back();
      idle_.pop_back();
    }
    record->link = this;
    record->endpoint = endpoint;
    record->cancel_requested = false;
    record->completion = completion;
    record->context = context;
    pending_.push_back(record);
  }
  // No time-out: the transfer threads keep their own and cancel what outlives it.
  libusb_fill_bulk_transfer(record->transfer, handle_, endpoint, buffer, static_cast<int>(length),
                            on_transfer_done, record, 0);
  int result = libusb_submit_transfer(record->transfer);
  if (result == LIBUSB_SUCCESS) return kStatusSuccess;
  platform::MutexLock lock(mutex_);
  pending_.erase(std::find(pending_.begin(), pending_.end(), record));
  idle_.push_back(record);
  settled_.notify_all();
  return failed(result);
}

void LIBUSB_CALL LibusbLink::on_transfer_done(libusb_transfer *transfer) {
  auto *record = static_cast<Transfer *>(transfer->user_data);
  LibusbLink *link = record->link;
  uint32_t status = libusb_transfer_status(transfer->status);
  if (status == kStatusDeviceNotPresent) link->gone_.store(true);
  int moved = std::clamp(transfer->actual_length, 0, transfer->length);
  record->completion(record->context, status, static_cast<uint32_t>(moved));
  // The record goes back only after the completion has run: a canceller waiting for the
  // endpoint to settle returns once the caller's record is finished.
  platform::MutexLock lock(link->mutex_);
  link->pending_.erase(std::find(link->pending_.begin(), link->pending_.end(), record));
  link->idle_.push_back(record);
  link->settled_.notify_all();
}

void LibusbLink::cancel_endpoint(uint8_t endpoint) {
  if (handle_ == nullptr) return;
  cancel_matching(false, endpoint);
}

void LibusbLink::cancel_matching(bool all, uint8_t endpoint) {
  platform::MutexLock lock(mutex_);
  for (;;) {
    bool waiting = false;
    for (Transfer *record : pending_) {
      if (!all && record->endpoint != endpoint) continue;
      waiting = true;
      if (!record->cancel_requested) {
        record->cancel_requested = true;
        // Asynchronous: the callback comes on the event thread. NOT_FOUND means it is already
        // on its way there.
        libusb_cancel_transfer(record->transfer);
      }
    }
    if (!waiting) return;
    if (!settled_.wait_for(mutex_, kCancelRetry)) {
      for (Transfer *record : pending_) record->cancel_requested = false;
    }
  }
}

uint32_t LibusbLink::clear_halt(uint8_t endpoint) {
  if (handle_ == nullptr) return open_status_;
  if (gone_.load()) return kStatusDeviceNotPresent;
  int result = libusb_clear_halt(handle_, endpoint);
  return result < 0 ? failed(result) : kStatusSuccess;
}

uint32_t LibusbLink::frame_number(uint32_t *frame) {
  if (handle_ == nullptr) return open_status_;
  if (gone_.load()) return kStatusDeviceNotPresent;
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - opened_at_);
  *frame = static_cast<uint32_t>(elapsed.count());
  return kStatusSuccess;
}

LinkDriverInfo LibusbLink::driver_info() {
  LinkDriverInfo info;
  const libusb_version *version = libusb_get_version();
  // libusb's version as the driver's: major.minor in the high byte's nibbles, micro below.
  info.driver_version = static_cast<uint16_t>(
      ((version->major & 0xF) << 12) | ((version->minor & 0xF) << 8) | (version->micro & 0xFF));
  info.build_number = version->nano;
  switch (libusb_get_device_speed(device_)) {
    case LIBUSB_SPEED_LOW:
      info.total_bandwidth = 1500;
      break;
    case LIBUSB_SPEED_HIGH:
      info.total_bandwidth = 480000;
      break;
    case LIBUSB_SPEED_SUPER:
      info.total_bandwidth = 5000000;
      break;
    default:
      info.total_bandwidth = 12000;
      break;
  }
  return info;
}

}  // namespace vexdaq
