// The driver seam: the operations of the instrument's kernel driver as the library uses them.
//
// Above this line the library never knows which backend serves a device. Backends are listed in
// one explicit table in driver.cpp (the platform's real backend first, then the virtual
// instrument); a path names its backend, and a DeviceHandle remembers it.
//
// Status values are the driver's 32-bit statuses, which the log prints as "status = 0x%08X".
// Every failing operation stores its status with platform::set_last_error on the calling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync.h"

namespace vexdaq {

using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kInvalidHandle = -1;

// Driver statuses.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusFileNotFound = 0x00000002;  // no such path
inline constexpr uint32_t kStatusAccessDenied = 0x00000005;  // permissions, or in use
inline constexpr uint32_t kStatusInvalidHandle = 0x00000006;
inline constexpr uint32_t kStatusNotEnoughMemory = 0x00000008;
inline constexpr uint32_t kStatusInvalidParameter = 0x00000057;
inline constexpr uint32_t kStatusIoPending = 0x000003E5;      // ERROR_IO_PENDING, 997
inline constexpr uint32_t kStatusCancelled = 0xC0000120;      // transfer cancelled
inline constexpr uint32_t kStatusStall = 0xC0000004;          // endpoint stalled
inline constexpr uint32_t kStatusTransferError = 0xE0001000;  // other bus error
inline constexpr uint32_t kStatusNotSupported = 0xE0001011;   // request not supported
inline constexpr uint32_t kStatusBufferTooSmall = 0xE0001030;
inline constexpr uint32_t kStatusDeviceNotPresent = 0xE000100A;  // the device is gone
// A request the device did not answer in time ("semaphore time-out period expired").
inline constexpr uint32_t kStatusTimeout = 0x00000079;

// Device-control codes.
inline constexpr uint32_t IOCTL_USBIO_GET_DESCRIPTOR = 0x80942006;
inline constexpr uint32_t IOCTL_USBIO_SET_CONFIGURATION = 0x80942024;
inline constexpr uint32_t IOCTL_USBIO_PIPE0_CLASS_IN = 0x80942032;   // PIPE0_CLASS_IN
inline constexpr uint32_t IOCTL_USBIO_PIPE0_CLASS_OUT = 0x80942035;  // PIPE0_CLASS_OUT
inline constexpr uint32_t IOCTL_USBIO_GET_CONFIGURATION_INFO = 0x80942050;
inline constexpr uint32_t IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER = 0x80942058;
inline constexpr uint32_t IOCTL_USBIO_GET_BANDWIDTH_INFO = 0x80942064;
inline constexpr uint32_t IOCTL_USBIO_GET_DEVICE_INFO = 0x80942068;
inline constexpr uint32_t IOCTL_USBIO_GET_DRIVER_INFO = 0x8094206C;
inline constexpr uint32_t IOCTL_USBIO_BIND_PIPE = 0x80942078;
inline constexpr uint32_t IOCTL_USBIO_RESET_PIPE = 0x80942080;
inline constexpr uint32_t IOCTL_USBIO_ABORT_PIPE = 0x80942084;
inline constexpr uint32_t IOCTL_USBIO_GET_PIPE_PARAMETERS = 0x8094208C;

// Open flags, with the values of the platform's file API.
inline constexpr uint32_t kAccessRead = 0x80000000;
inline constexpr uint32_t kAccessWrite = 0x40000000;
inline constexpr uint32_t kShareRead = 0x1;
inline constexpr uint32_t kShareWrite = 0x2;
inline constexpr uint32_t kFlagNormal = 0x80;
inline constexpr uint32_t kFlagOverlapped = 0x40000000;

// One overlapped transfer record. A backend completes a transfer by storing `internal` (its
// status, 0 for success) and `internal_high` (bytes moved), in that order, and then setting
// `event`. The record and the buffer must stay valid until that has happened.
struct Overlapped {
  std::atomic<uint32_t> internal{0};
  std::atomic<uint32_t> internal_high{0};
  std::unique_ptr<platform::Event> event;  // auto-reset; null when closed
};

// A stream transfer slot: its record and its packet buffer (a packet never exceeds 512 bytes).
struct XferSlot {
  Overlapped overlapped;
  uint8_t buffer[540] = {};
};

// Lists the present interfaces of the instrument's device class in a stable order: the
// platform's real devices first, then plugged virtual instruments (an exclusive virtual
// instrument hides the real ones). Returns false when the list cannot be obtained. Blocks
// briefly; any thread.
bool driver_enumerate(std::vector<std::u16string> &paths);

// Opens a path with access, share and flags as above. Returns kInvalidHandle (and sets the last
// error) on failure. Any thread.
DeviceHandle driver_open(const char16_t *path, uint32_t access, uint32_t share, uint32_t flags);

// The status with which the latest failed driver_open failed (0 while none has). Any thread.
uint32_t driver_last_open_failure();

// Synchronous device-control call. *returned (when not null) receives the bytes written to out.
// Returns false and sets the last error on failure. Blocks until done; any thread; calls on one
// handle from several threads are allowed.
bool driver_ioctl(DeviceHandle handle, uint32_t code, const void *in, uint32_t in_size, void *out,
                  uint32_t out_size, uint32_t *returned);

// Start an overlapped bulk transfer on a handle bound to a pipe. Returns true once the transfer
// has started (it completes later through the record, possibly before this returns); false with
// the last error when it could not start (the record is then not touched). Never blocks.
bool driver_read(DeviceHandle handle, Overlapped &record, void *buffer, uint32_t size);
bool driver_write(DeviceHandle handle, Overlapped &record, const void *buffer, uint32_t size);

// Cancels every pending transfer on the handle; each has completed (status kStatusCancelled,
// event set) when this returns. Returns false with the last error for a bad handle.
bool driver_cancel(DeviceHandle handle);

// Closes the handle (cancelling and completing its pending transfers first) and sets it to
// kInvalidHandle. Harmless on kInvalidHandle.
void driver_close(DeviceHandle &handle);

// ---- For backend implementations ---------------------------------------------------------

// One open handle of a backend.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Same contracts as the driver_ functions above.
  virtual bool ioctl(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size,
                     uint32_t *returned) = 0;
  virtual bool start_read(Overlapped &record, void *buffer, uint32_t size) = 0;
  virtual bool start_write(Overlapped &record, const void *buffer, uint32_t size) = 0;
  virtual void cancel() = 0;
  // Whether the device behind the handle paces its streams (UsbLink::paced).
  virtual bool paced() const { return true; }
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char *name() const = 0;
  // Appends the backend's present interfaces. False when its list cannot be obtained.
  virtual bool enumerate(std::vector<std::u16string> &paths) = 0;
  // Whether the path belongs to this backend.
  virtual bool owns(const char16_t *path) const = 0;
  // Null with the last error set on failure.
  virtual std::unique_ptr<OpenFile> open(const char16_t *path, uint32_t access, uint32_t share,
                                         uint32_t flags) = 0;
  // Whether the real devices are to be hidden (the virtual-instrument backend's exclusive mode).
  virtual bool hides_real_devices() const { return false; }
};

}  // namespace vexdaq
