// Writing a firmware image into the device's memory through the RAM loader, and setting the
// serial number.
//
// Both run on the calling thread, straight on g_device.control_handle (not through the core), so
// they work also when the device is open but its core did not come up. They take no library lock
// and allocate nothing. Each failed request is logged ("PIPE0_CLASS_OUT failed, ..." or
// "PIPE0_CLASS_IN Request (0x..) failed, ...") and the sequence goes on.
#pragma once

#include <cstdint>

namespace vexdaq {

inline constexpr uint32_t kLoaderChunkSize = 2048;    // the EZ-USB's memory-load request limit
inline constexpr uint32_t kFirmwareChunkSize = 4096;  // the loader's data-stage limit
// The loader addresses its memory with 16 bits (VEXDAQ_FIRMWARE_CAPACITY in vexdaq_ext.h).
inline constexpr int64_t kFirmwareCapacity = 65536;

// First reads the file through to learn its length; a null path, a file that cannot be read, an
// empty one or one over kFirmwareCapacity bytes is refused (-1, logged) with nothing sent. Then
// holds the 8051 in reset, places the loader in its RAM (two requests: 2048 bytes at 0 and the
// rest at 2048), lets it run, writes the file in 4096-byte chunks (addresses are file offsets; a
// file whose length is a multiple of 4096 ends with a zero-length request) and reads every chunk
// back. Returns 0 when every byte read back equals the file; -1 when it was refused, could not be
// read, or any chunk differs, failed to read back or came back short.
int32_t usbio_firmware_download(const char *path);

// Sends the first min(count, 16) characters as UTF-16LE (high bytes 0) with the set-serial
// request; a negative count sends an empty serial number. Returns 0 once sent (whatever the
// device answered), -1 when text is null while count > 0.
int32_t usbio_serial_download(const char *text, int32_t count);

}  // namespace vexdaq
