#include "device/discovery.h"

#include <cstring>
#include <vector>

#include "backend/driver.h"
#include "device/device_state.h"
#include "platform/sync.h"
#include "protocol/little_endian.h"
#include "protocol/usbio_records.h"
#include "session/log.h"

namespace vexdaq {
namespace {

constexpr size_t kPathUnits = 510;  // plus the terminator: bytes 0-1021 of an entry
constexpr size_t kHashedPrefixUnits = kPathUnits - 17;
constexpr int kSubClassByte = 1022;
constexpr int kProtocolByte = 1023;
constexpr uint8_t kMatchingProtocol = 3;
constexpr uint32_t kDeviceDescriptorSize = 18;

// Never destroyed: made on first use, it would be destroyed before the exit handler that closes a
// session left open.
platform::Mutex &discovery_lock() {
  static platform::Mutex *const m = new platform::Mutex;
  return *m;
}

std::u16string stored_path(const uint8_t *entry) {
  std::u16string path;
  for (size_t i = 0; i < kPathUnits; ++i) {
    char16_t unit = static_cast<char16_t>(get_le16(entry + 2 * i));
    if (unit == 0) break;
    path.push_back(unit);
  }
  return path;
}

void store_path(uint8_t *entry, const std::u16string &path) {
  std::memset(entry, 0, 2 * (kPathUnits + 1));
  for (size_t i = 0; i < path.size() && i < kPathUnits; ++i) {
    put_le16(entry + 2 * i, static_cast<uint16_t>(path[i]));
  }
}

bool is_matching(const uint8_t *entry) {
  return entry[kProtocolByte] == kMatchingProtocol;
}

// Reads the device descriptor through a probe handle; false stops the walk.
bool probe(const std::u16string &path, uint8_t descriptor[kDeviceDescriptorSize]) {
  DeviceHandle handle = driver_open(path.c_str(), kAccessRead | kAccessWrite,
                                    kShareRead | kShareWrite, kFlagOverlapped);
  if (handle == kInvalidHandle) return false;
  DescriptorRequest request;
  request.descriptor_type = kDescriptorDevice;
  uint8_t in[kDescriptorRequestSize];
  encode(request, in);
  uint32_t returned = 0;
  bool ok = driver_ioctl(handle, IOCTL_USBIO_GET_DESCRIPTOR, in, sizeof in, descriptor,
                         kDeviceDescriptorSize, &returned) &&
            returned == kDeviceDescriptorSize;
  driver_close(handle);
  return ok;
}

struct HandleSpec {
  uint32_t access;
  uint32_t share;
  uint32_t flags;
};

constexpr HandleSpec kHandleSpecs[5] = {
    {kAccessRead | kAccessWrite, kShareRead | kShareWrite, kFlagNormal},  // control
    {kAccessWrite, kShareWrite, kFlagOverlapped},                         // tx stream
    {kAccessRead, kShareRead, kFlagOverlapped},                           // rx stream
    {kAccessWrite, kShareWrite, kFlagOverlapped},                         // UART out
    {kAccessRead, kShareRead, kFlagOverlapped},                           // UART in
};

DeviceHandle &session_handle(int i) {
  return i == 0 ? g_device.control_handle : g_device.pipe_handles[i - 1];
}

}  // namespace

std::u16string device_table_path(const std::u16string &path) {
  if (path.size() <= kPathUnits) return path;
  uint64_t hash = 0xCBF29CE484222325ull;
  for (char16_t unit : path) {
    hash ^= static_cast<uint8_t>(unit);
    hash *= 0x100000001B3ull;
    hash ^= static_cast<uint8_t>(unit >> 8);
    hash *= 0x100000001B3ull;
  }
  std::u16string stored = path.substr(0, kHashedPrefixUnits);
  stored.push_back(u'~');
  static const char kHex[] = "0123456789ABCDEF";
  for (int shift = 60; shift >= 0; shift -= 4) stored.push_back(kHex[(hash >> shift) & 0xF]);
  return stored;
}

int32_t usbio_device_enumerate() {
  platform::MutexLock lock(discovery_lock());
  std::vector<std::u16string> paths;
  if (!driver_enumerate(paths)) return -1;
  size_t reached = 0;
  for (; reached < paths.size() && reached < kDeviceTableEntries; ++reached) {
    uint8_t *entry = g_device.device_table[reached];
    std::u16string path = device_table_path(paths[reached]);
    if (path.empty()) break;  // no path: the walk ends here
    if (stored_path(entry) == path) continue;
    uint8_t descriptor[kDeviceDescriptorSize] = {};
    if (!probe(paths[reached], descriptor)) break;
    store_path(entry, path);
    entry[kSubClassByte] = descriptor[5];
    entry[kProtocolByte] = descriptor[6];
  }
  int32_t count = 0;
  for (size_t m = 0; m < reached; ++m) {
    if (is_matching(g_device.device_table[m])) ++count;
  }
  return count;
}

int32_t usbio_device_open(int32_t index) {
  platform::MutexLock lock(discovery_lock());
  if (g_device.control_handle != kInvalidHandle) return -1;
  if (index < 0) return -1;
  int member = -1;
  int32_t seen = 0;
  for (int m = 0; m < kDeviceTableEntries; ++m) {
    if (!is_matching(g_device.device_table[m])) continue;
    if (seen++ == index) {
      member = m;
      break;
    }
  }
  if (member < 0) return -1;

  std::vector<std::u16string> paths;
  if (!driver_enumerate(paths) || static_cast<size_t>(member) >= paths.size()) return -1;
  const std::u16string &path = paths[static_cast<size_t>(member)];
  log_print(LogLevel::kEntry, "%ws\r\n", path.c_str());

  for (int i = 0; i < 5; ++i) {
    const HandleSpec &opening = kHandleSpecs[i];
    session_handle(i) = driver_open(path.c_str(), opening.access, opening.share, opening.flags);
    if (session_handle(i) == kInvalidHandle) {
      for (int j = 0; j < 5; ++j) driver_close(session_handle(j));
      return -1;
    }
  }
  return 0;
}

}  // namespace vexdaq
