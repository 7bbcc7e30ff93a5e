// The driver seam: the operations of the instrument's kernel driver as the library uses them.
//
// Above this line the library never knows which backend serves a device. Backends are listed in
// one explicit table in driver.cpp (the platform's real backend first, then the virtual
// instrument); a path names its backend, and a DeviceHandle remembers it.
//
// Status values are the driver's 32-bit statuses, which the log prints as "status = 0x%08X".
// Every failing operation stores its status with platform::set_last_error on the calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/driver_types.h"

namespace vexdaq {

// Lists the present interfaces of the instrument's device class in a stable order: the
// platform's real devices first, then plugged virtual instruments (an exclusive virtual
// instrument hides the real ones). Returns false when the list cannot be obtained. Blocks
// briefly; any thread.
bool driver_enumerate(std::vector<std::u16string> &paths);

// Opens a path with access, share and flags (protocol/driver_types.h). Returns kInvalidHandle (and
// sets the last error) on failure. Any thread.
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
