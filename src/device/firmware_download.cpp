#include "device/firmware_download.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/control_request.h"
#include "firmware/loader_image.h"
#include "platform/thread.h"
#include "protocol/requests.h"
#include "session/log.h"

namespace vexdaq {
namespace {

constexpr int32_t kMaxSerialCharacters = 16;

void log_out_failure() {
  log_print(LogLevel::kEntry, "PIPE0_CLASS_OUT failed, status = 0x%08X.\n", platform::last_error());
}

void device_out(uint8_t request, uint16_t value, const void *data, uint16_t length) {
  if (!vendor_out(kRecipientDevice, request, value, 0, data, length)) log_out_failure();
}

void set_cpu_reset(bool hold) {
  const uint8_t cpucs = hold ? 1 : 0;
  device_out(REQ_FIRMWARE_LOAD, kCpucsAddress, &cpucs, 1);
}

void load_loader() {
  for (uint32_t offset = 0; offset < kLoaderImageSize; offset += kLoaderChunkSize) {
    const uint32_t remaining = static_cast<uint32_t>(kLoaderImageSize) - offset;
    const uint32_t n = remaining < kLoaderChunkSize ? remaining : kLoaderChunkSize;
    device_out(REQ_FIRMWARE_LOAD, static_cast<uint16_t>(offset), loader_image + offset,
               static_cast<uint16_t>(n));
  }
}

// Closes the file when the pass is done, whichever way it ends.
class InputFile {
 public:
  explicit InputFile(const char *path) : file_(std::fopen(path, "rb")) {}
  ~InputFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  InputFile(const InputFile &) = delete;
  InputFile &operator=(const InputFile &) = delete;

  bool is_open() const { return file_ != nullptr; }
  size_t read(uint8_t *buffer, size_t size) { return std::fread(buffer, 1, size, file_); }
  bool failed() const { return std::ferror(file_) != 0; }

 private:
  std::FILE *file_;
};

// The file's length in bytes, found by reading it (a device or a pipe has no size to ask for), up
// to one byte past the device's capacity; -1 when it cannot be opened or read.
int64_t measured_size(const char *path) {
  InputFile file(path);
  if (!file.is_open()) return -1;
  uint8_t chunk[kFirmwareChunkSize];
  int64_t total = 0;
  size_t n = 0;
  do {
    n = file.read(chunk, kFirmwareChunkSize);
    total += static_cast<int64_t>(n);
  } while (n == kFirmwareChunkSize && total <= kFirmwareCapacity);
  return file.failed() ? -1 : total;
}

// The next chunk of a pass that takes `size` bytes of the file in all; `done` bytes are behind it.
size_t read_chunk(InputFile &file, uint8_t *chunk, int64_t size, int64_t done) {
  const int64_t left = size - done;
  return file.read(chunk, static_cast<size_t>(std::min<int64_t>(left, kFirmwareChunkSize)));
}

enum class WriteResult { kNotOpened, kReadFailed, kWritten };

// Both passes take only the `size` bytes measured before the device was touched, so a file that
// grows meanwhile (or never ends) cannot run past the device's memory.
WriteResult write_pass(const char *path, int64_t size) {
  InputFile file(path);
  if (!file.is_open()) return WriteResult::kNotOpened;
  uint8_t chunk[kFirmwareChunkSize];
  uint16_t address = 0;  // the value field is 16 bits: 65536 bytes end at address 0
  int64_t done = 0;
  size_t n = 0;
  do {
    n = read_chunk(file, chunk, size, done);
    device_out(REQ_LOADER_MEMORY, address, chunk, static_cast<uint16_t>(n));
    address = static_cast<uint16_t>(address + n);
    done += static_cast<int64_t>(n);
  } while (n == kFirmwareChunkSize);
  return file.failed() ? WriteResult::kReadFailed : WriteResult::kWritten;
}

// Returns true when every chunk read back equals the file.
bool verify_pass(const char *path, int64_t size) {
  InputFile file(path);
  if (!file.is_open()) return false;
  uint8_t chunk[kFirmwareChunkSize];
  uint8_t readback[kFirmwareChunkSize];
  uint16_t address = 0;
  bool same = true;
  int64_t done = 0;
  size_t n = 0;
  do {
    n = read_chunk(file, chunk, size, done);
    done += static_cast<int64_t>(n);
    uint32_t returned = 0;
    // A failed or short read-back has no device data to compare: it counts as a difference.
    if (!vendor_in(kRecipientDevice, REQ_LOADER_MEMORY, address, 0, readback,
                   static_cast<uint16_t>(n), &returned)) {
      log_print(LogLevel::kEntry, "PIPE0_CLASS_IN Request (0x%.2X) failed, status = 0x%08X.\n",
                REQ_LOADER_MEMORY, platform::last_error());
      same = false;
    } else if (returned < n || std::memcmp(chunk, readback, n) != 0) {
      same = false;
    }
    address = static_cast<uint16_t>(address + n);
  } while (n == kFirmwareChunkSize);
  return same && !file.failed();
}

}  // namespace

int32_t usbio_firmware_download(const char *path) {
  // Everything that can refuse the download is checked before the device is touched: once the
  // loader runs, the instrument's own firmware is gone until it is replugged.
  if (path == nullptr) return -1;
  const int64_t size = measured_size(path);
  if (size < 0) {
    log_print(LogLevel::kEntry, "vexdaq_firmware_download: cannot read %s\r\n", path);
    return -1;
  }
  if (size == 0 || size > kFirmwareCapacity) {
    log_print(LogLevel::kEntry,
              "vexdaq_firmware_download: %s has %s bytes; the device takes 1 to %d\r\n", path,
              size == 0 ? "no" : "more than 65536", static_cast<int32_t>(kFirmwareCapacity));
    return -1;
  }
  set_cpu_reset(true);
  load_loader();
  set_cpu_reset(false);
  const WriteResult written = write_pass(path, size);
  if (written == WriteResult::kNotOpened) return -1;
  // Even after a read error the device's memory is read back and compared, as far as the file
  // goes; the result stays a failure.
  const bool verified = verify_pass(path, size);
  return written == WriteResult::kWritten && verified ? 0 : -1;
}

int32_t usbio_serial_download(const char *text, int32_t count) {
  if (count < 0) count = 0;
  if (count > kMaxSerialCharacters) count = kMaxSerialCharacters;
  if (text == nullptr && count > 0) return -1;
  uint8_t data[2 * kMaxSerialCharacters] = {};
  for (int32_t i = 0; i < count; ++i) {
    data[2 * i] = static_cast<uint8_t>(text[i]);
    data[2 * i + 1] = 0;
  }
  if (!class_out(REQ_SET_SERIAL, 0, 0, data, static_cast<uint16_t>(2 * count))) log_out_failure();
  return 0;
}

}  // namespace vexdaq
