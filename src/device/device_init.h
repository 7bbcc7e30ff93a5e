// Bringing the device up, and the capability queries.
//
// usbio_device_init and usbio_controller_init run on the core thread at its start, before its
// message loop; the width and count queries run there too and again on application threads
// (vexdaq_get_sample_width, vexdaq_get_channel_count), directly on control_handle. None of them
// takes a library lock. Every failure is logged with the driver's status; whatever was stored
// before the failing step stays.
//
// Everything the device answers is bounded before use:
//  - a rate list keeps at most as many rates as the reply holds (the 255-byte reply holds 63),
//    whatever count the device claims;
//  - the product name never holds more than 31 characters plus its terminator;
//  - out_channel_count and in_channel_count never exceed kMaxChannels (64) and are never
//    negative: a larger count is stored as 64 (the device's own number is in the log line of the
//    query), so every loop over the channel tables may use them as bounds as they are;
//  - a width or count reply shorter than 4 bytes counts as a failed query: the fields keep their
//    values.
#pragma once

#include <cstdint>

namespace vexdaq {

// The device descriptor's bDeviceClass and bDeviceProtocol of an instrument of this protocol.
inline constexpr uint8_t kInstrumentDeviceClass = 0xFF;  // vendor-specific
inline constexpr uint8_t kInstrumentDeviceProtocol = 3;

// Checks the driver and the device, keeps copies of the device and configuration descriptors
// (released by the core thread when it ends), reads the product name, selects the configuration
// and binds up to four data pipes. device_class and device_protocol are the bDeviceClass and
// bDeviceProtocol the instrument's device descriptor carries (kInstrumentDeviceClass and
// kInstrumentDeviceProtocol); both appear in the first log line, and a device whose protocol
// differs is refused. Returns false on any failure.
bool usbio_device_init(uint8_t device_class, uint8_t device_protocol);

// How far usbio_controller_init came.
enum class ControllerInit {
  kReady,
  kDeviceFailed,       // usbio_device_init failed
  kInputRatesFailed,   // the input sample-rate list could not be read
  kOutputRatesFailed,  // the output sample-rate list could not be read
};

// usbio_device_init and then the input and output sample-rate lists.
ControllerInit usbio_controller_init();

// The device's answer before clamping, for the caller's log line.
struct ChannelCounts {
  int32_t out_count = 0;
  int32_t in_count = 0;
};

// Reads the sample widths into out_sample_bits and in_sample_bits. Returns false (logged) when the
// request failed or the reply was short.
bool usbio_controller_get_sample_width();

// Reads the channel counts into out_channel_count and in_channel_count (limited to 0..64); when
// reported is not null it receives the counts as the device sent them. Returns false (logged)
// when the request failed or the reply was short.
bool usbio_controller_get_channel_count(ChannelCounts *reported = nullptr);

}  // namespace vexdaq
