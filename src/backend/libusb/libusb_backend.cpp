#include "backend/libusb/libusb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <string_view>

#include "backend/libusb/libusb_context.h"
#include "backend/libusb/libusb_link.h"
#include "backend/usb_link/usb_link_file.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/log.h"

namespace vexdaq {
namespace {

constexpr char16_t kPathPrefix[] = u"usb:";
constexpr int kMaxPortDepth = 7;  // USB allows at most five hubs between host and device

struct Present {
  std::u16string path;
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
  libusb_device *device = nullptr;  // borrowed from the list
};

// The present devices but hubs, ordered by bus and port chain.
std::vector<Present> present_devices(libusb_device **list, ssize_t count) {
  std::vector<Present> found;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS) continue;
    if (d.bDeviceClass == LIBUSB_CLASS_HUB) continue;
    uint8_t ports[kMaxPortDepth];
    int depth = libusb_get_port_numbers(list[i], ports, kMaxPortDepth);
    if (depth <= 0) continue;  // no port chain: nothing stable to name it by
    Present p;
    p.bus = libusb_get_bus_number(list[i]);
    p.ports.assign(ports, ports + depth);
    p.path = libusb_device_path(p.bus, ports, depth);
    p.device = list[i];
    found.push_back(std::move(p));
  }
  std::sort(found.begin(), found.end(), [](const Present &a, const Present &b) {
    return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
  });
  return found;
}

class DeviceList {
 public:
  explicit DeviceList(libusb_context *context) {
    count_ = libusb_get_device_list(context, &list_);
    if (count_ < 0) list_ = nullptr;
  }
  ~DeviceList() {
    if (list_ != nullptr) libusb_free_device_list(list_, 1);
  }
  DeviceList(const DeviceList &) = delete;
  DeviceList &operator=(const DeviceList &) = delete;
  bool ok() const { return list_ != nullptr; }
  std::vector<Present> present() const { return present_devices(list_, count_ < 0 ? 0 : count_); }

 private:
  libusb_device **list_ = nullptr;
  ssize_t count_ = 0;
};

class LibusbBackend final : public Backend {
 public:
  const char *name() const override { return "libusb"; }

  bool enumerate(std::vector<std::u16string> &paths) override {
    std::shared_ptr<LibusbContext> context = LibusbContext::acquire();
    if (!context) return true;  // no USB here: no real devices
    DeviceList list(context->get());
    if (!list.ok()) return false;
    for (Present &p : list.present()) paths.push_back(std::move(p.path));
    return true;
  }

  bool owns(const char16_t *path) const override {
    return std::u16string_view(path).starts_with(kPathPrefix);
  }

  std::unique_ptr<OpenFile> open(const char16_t *path, uint32_t access, uint32_t share,
                                 uint32_t flags) override {
    std::shared_ptr<UsbLink> link = link_for(path, access, flags);
    if (!link) return nullptr;
    return open_usb_link_file(std::move(link), access, share, flags);
  }

 private:
  std::shared_ptr<UsbLink> link_for(const char16_t *path, uint32_t access, uint32_t flags)
      EXCLUDES(mutex_);

  platform::Mutex mutex_;
  // Every handle on one path shares one link, so the device is opened and claimed once.
  std::vector<std::pair<std::u16string, std::weak_ptr<LibusbLink>>> links_ GUARDED_BY(mutex_);
};

std::shared_ptr<UsbLink> LibusbBackend::link_for(const char16_t *path, uint32_t access,
                                                 uint32_t flags) {
  platform::MutexLock lock(mutex_);
  std::erase_if(links_, [](auto &entry) { return entry.second.expired(); });
  for (auto &[known, weak] : links_) {
    std::shared_ptr<LibusbLink> link = weak.lock();
    if (known == path && link && link->present()) return link;
  }
  std::shared_ptr<LibusbContext> context = LibusbContext::acquire();
  if (!context) {
    platform::set_last_error(kStatusFileNotFound);
    return nullptr;
  }
  DeviceList list(context->get());
  std::vector<Present> present = list.present();
  auto found = std::find_if(present.begin(), present.end(),
                            [&](const Present &p) { return p.path == path; });
  if (found == present.end()) {
    platform::set_last_error(kStatusFileNotFound);
    return nullptr;
  }
  libusb_device_handle *handle = nullptr;
  int result = libusb_open(found->device, &handle);
  if (result == LIBUSB_SUCCESS) {
    if (!context->device_opened()) {
      libusb_close(handle);
      platform::set_last_error(kStatusNotEnoughMemory);
      return nullptr;
    }
    // Best effort: where a kernel driver holds the interface (macOS has none to detach) the
    // claim reports it.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    auto link = std::make_shared<LibusbLink>(context, found->device, handle);
    links_.emplace_back(path, link);
    return link;
  }
  uint32_t status = libusb_error_status(result);
  // Discovery's probe (an overlapped handle for reading and writing) needs only the device
  // descriptor, which the host keeps for every device. Serving it lets discovery walk past the
  // devices of other users instead of stopping at the first one this user may not open.
  if (access == (kAccessRead | kAccessWrite) && (flags & kFlagOverlapped) != 0) {
    return std::make_shared<LibusbLink>(context, found->device, status);
  }
  if (status == kStatusAccessDenied) {
    log_print(LogLevel::kEntry,
              "libusb: %ws: permission denied, status = 0x%08X. Install "
              "packaging/60-vexdaq.rules (udev rule) to let this user open the instrument.\r\n",
              path, status);
  }
  platform::set_last_error(status);
  return nullptr;
}

}  // namespace

Backend &libusb_backend() {
  static LibusbBackend backend;
  return backend;
}

std::u16string libusb_device_path(uint8_t bus, const uint8_t *ports, int count) {
  std::string text = "usb:" + std::to_string(bus);
  for (int i = 0; i < count; ++i) {
    text += i == 0 ? '-' : '.';
    text += std::to_string(ports[i]);
  }
  return std::u16string(text.begin(), text.end());
}

uint32_t libusb_error_status(int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
      return kStatusSuccess;
    case LIBUSB_ERROR_INVALID_PARAM:
      return kStatusInvalidParameter;
    case LIBUSB_ERROR_ACCESS:
    case LIBUSB_ERROR_BUSY:  // claimed by another program: in use
      return kStatusAccessDenied;
    case LIBUSB_ERROR_NO_DEVICE:
      return kStatusDeviceNotPresent;
    case LIBUSB_ERROR_NOT_FOUND:
      return kStatusFileNotFound;
    case LIBUSB_ERROR_TIMEOUT:
      return kStatusTimeout;
    case LIBUSB_ERROR_PIPE:
      return kStatusStall;
    case LIBUSB_ERROR_INTERRUPTED:
      return kStatusCancelled;
    case LIBUSB_ERROR_NO_MEM:
      return kStatusNotEnoughMemory;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return kStatusNotSupported;
    default:  // IO, OVERFLOW, OTHER
      return kStatusTransferError;
  }
}

uint32_t libusb_transfer_status(int transfer_status) {
  switch (transfer_status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return kStatusSuccess;
    case LIBUSB_TRANSFER_CANCELLED:
      return kStatusCancelled;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return kStatusDeviceNotPresent;
    case LIBUSB_TRANSFER_STALL:
      return kStatusStall;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return kStatusTimeout;
    default:  // ERROR, OVERFLOW
      return kStatusTransferError;
  }
}

}  // namespace vexdaq
