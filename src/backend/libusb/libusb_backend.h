// The libusb backend: real instruments on systems without the instrument's kernel driver (Linux,
// macOS). Each present USB device but hubs is one interface of the class; its path names the bus
// and the port chain, u"usb:1-4.2" (bus 1, port 4 of the root hub, then port 2 of the hub
// there). The path stays the same while the device stays in the same socket, and no two devices
// share one, so discovery's remembered paths keep meaning the same device.
//
// Handles are opened on a UsbLink over libusb, shared by all handles of one path; the usb_link
// backend carries out the driver operations on it.
#pragma once

#include <cstdint>
#include <string>

#include "backend/driver.h"

#ifndef VEXDAQ_HAVE_LIBUSB
#define VEXDAQ_HAVE_LIBUSB 0
#endif

namespace vexdaq {

// Whether the build has libusb (the functions below exist only then).
inline constexpr bool kHaveLibusb = VEXDAQ_HAVE_LIBUSB != 0;

Backend &libusb_backend();

// u"usb:<bus>-<port>.<port>..." for a device behind `count` ports (count 0: the root hub,
// u"usb:<bus>").
std::u16string libusb_device_path(uint8_t bus, const uint8_t *ports, int count);

// A libusb error code (enum libusb_error) as the driver status that the library reports for it.
uint32_t libusb_error_status(int error);

// The status of a finished libusb transfer (enum libusb_transfer_status) as the driver status.
uint32_t libusb_transfer_status(int transfer_status);

}  // namespace vexdaq
