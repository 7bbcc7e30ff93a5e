// The usb_link backend: every driver operation carried out with plain USB operations on a
// UsbLink. A backend that reaches devices as UsbLinks (the virtual instrument, libusb) opens its
// handles here and inherits the whole operation table.
//
//  GET_DESCRIPTOR          standard GET_DESCRIPTOR control transfer
//  SET_CONFIGURATION       set configuration (bConfigurationValue of the descriptor) + claim
//  GET_CONFIGURATION_INFO  built from the cached configuration descriptor, no bus traffic
//  BIND_PIPE               binds the handle to an endpoint of the interface
//  GET_PIPE_PARAMETERS     flags 0
//  ABORT_PIPE / RESET_PIPE cancel pending transfers / clear halt on the bound endpoint
//  GET_CURRENT_FRAME_NUMBER the link's frame counter
//  PIPE0_CLASS_IN / _OUT   class or vendor control transfer built from the ControlRequest
//  GET_DRIVER_INFO, GET_DEVICE_INFO, GET_BANDWIDTH_INFO from the link's driver information and
//                          this process's open handles
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "backend/driver.h"
#include "protocol/usb_link.h"
#include "protocol/usbio_records.h"

namespace vexdaq {

// Sees each driver operation a handle is asked for before it is carried out: the virtual
// instrument traces them and fails those its profile names. Real devices have none.
class DriverCallWatch {
 public:
  virtual ~DriverCallWatch() = default;
  // The status the operation `code` on a handle bound to pipe `pipe` (1-based position of its
  // endpoint in the interface, 0 when unbound) is to fail with, or 0 to carry it out.
  virtual uint32_t driver_call(uint32_t code, int pipe) = 0;
};

// Opens one handle on the link's device; counts it in the link's open_handles while it lives.
// watch, when not null, sees the handle's driver operations. Never fails (a gone device fails
// its operations instead).
std::unique_ptr<OpenFile> open_usb_link_file(std::shared_ptr<UsbLink> link, uint32_t access,
                                             uint32_t share, uint32_t flags,
                                             std::shared_ptr<DriverCallWatch> watch = nullptr);

// bmRequestType of a ControlRequest: direction, type (1 class, 2 vendor; 0 standard) and
// recipient (0-3). False for a type or recipient outside those.
bool control_request_type(const ControlRequest &request, bool device_to_host, uint8_t *out);

// The driver's view of a configuration descriptor: interface count, the pipes of the first
// interface, and its bConfigurationValue. Bounded: a malformed descriptor yields what lies
// within it. False when the bytes hold no configuration descriptor header.
bool parse_configuration(const std::vector<uint8_t> &descriptor, ConfigurationInfo &info,
                         uint8_t *configuration_value);

}  // namespace vexdaq
