// The driver's vocabulary: handles, statuses, device-control codes, open flags and the overlapped
// transfer record. The session, the backends and the virtual instrument all speak it, so it sits
// beneath them, apart from the driver seam's operations (backend/driver.h).
//
// Status values are the driver's 32-bit statuses, which the log prints as "status = 0x%08X".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

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

}  // namespace vexdaq
