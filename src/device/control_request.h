// Class and vendor control requests on the device's default pipe (g_device.control_handle).
//
// Each helper builds the 18-byte request record (flags kShortTransferOk, reserved bits 0) and
// hands it to the driver: PIPE0_CLASS_IN for the device-to-host forms, PIPE0_CLASS_OUT for the
// host-to-device ones. On the bus this becomes one setup packet with wValue = value,
// wIndex = index and wLength = length.
//
// All of them block until the driver has finished, may run on any thread (the core thread and
// application threads share the handle; the driver orders the calls), take no library lock and
// log nothing: the caller writes its own failure line. They return true on success; on failure
// false, with platform::last_error() holding the driver's status (kStatusInvalidHandle when no
// device is open).
#pragma once

#include <cstdint>

#include "backend/driver.h"

namespace vexdaq {

// Device-to-host: up to `length` bytes into data (may be null when length is 0). *returned, when
// not null, receives the count the device sent; it is 0 after a failure. Bytes beyond that count
// keep their previous values.
bool class_in(uint8_t request, uint16_t value, uint16_t index, void *data, uint16_t length,
              uint32_t *returned = nullptr);
bool vendor_in(uint32_t recipient, uint8_t request, uint16_t value, uint16_t index, void *data,
               uint16_t length, uint32_t *returned = nullptr);

// Host-to-device: sends `length` bytes from data (may be null when length is 0).
bool class_out(uint8_t request, uint16_t value, uint16_t index, const void *data, uint16_t length);
bool vendor_out(uint32_t recipient, uint8_t request, uint16_t value, uint16_t index,
                const void *data, uint16_t length);

// The general form behind the four helpers, for a caller that needs another handle (tests) or
// type. type: kRequestTypeClass or kRequestTypeVendor; recipient: kRecipientDevice or
// kRecipientInterface; device_to_host selects PIPE0_CLASS_IN.
bool control_request(DeviceHandle handle, bool device_to_host, uint32_t type, uint32_t recipient,
                     uint8_t request, uint16_t value, uint16_t index, void *data, uint16_t length,
                     uint32_t *returned);

}  // namespace vexdaq
