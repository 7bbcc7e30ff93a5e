#include "device/control_request.h"

#include "device/device_state.h"
#include "platform/thread.h"
#include "protocol/requests.h"
#include "protocol/usbio_records.h"

namespace vexdaq {

bool control_request(DeviceHandle handle, bool device_to_host, uint32_t type, uint32_t recipient,
                     uint8_t request, uint16_t value, uint16_t index, void *data, uint16_t length,
                     uint32_t *returned) {
  if (returned != nullptr) *returned = 0;
  ControlRequest record;
  record.flags = kShortTransferOk;
  record.type = type;
  record.recipient = recipient;
  record.reserved_bits = 0;
  record.request = request;
  record.value = value;
  record.index = index;
  uint8_t encoded[kControlRequestSize];
  encode(record, encoded);

  // The driver takes the data stage in its out buffer in both directions.
  const uint32_t code = device_to_host ? IOCTL_USBIO_PIPE0_CLASS_IN : IOCTL_USBIO_PIPE0_CLASS_OUT;
  uint32_t moved = 0;
  const bool ok = driver_ioctl(handle, code, encoded, kControlRequestSize,
                               length == 0 ? nullptr : data, data == nullptr ? 0 : length, &moved);
  if (ok && returned != nullptr) *returned = moved;
  return ok;
}

bool class_in(uint8_t request, uint16_t value, uint16_t index, void *data, uint16_t length,
              uint32_t *returned) {
  return control_request(g_device.control_handle, true, kRequestTypeClass, kRecipientInterface,
                         request, value, index, data, length, returned);
}

bool vendor_in(uint32_t recipient, uint8_t request, uint16_t value, uint16_t index, void *data,
               uint16_t length, uint32_t *returned) {
  return control_request(g_device.control_handle, true, kRequestTypeVendor, recipient, request,
                         value, index, data, length, returned);
}

bool class_out(uint8_t request, uint16_t value, uint16_t index, const void *data, uint16_t length) {
  // The driver reads the bytes to send from its out buffer and never writes to it.
  return control_request(g_device.control_handle, false, kRequestTypeClass, kRecipientInterface,
                         request, value, index, const_cast<void *>(data), length, nullptr);
}

bool vendor_out(uint32_t recipient, uint8_t request, uint16_t value, uint16_t index,
                const void *data, uint16_t length) {
  return control_request(g_device.control_handle, false, kRequestTypeVendor, recipient, request,
                         value, index, const_cast<void *>(data), length, nullptr);
}

}  // namespace vexdaq
