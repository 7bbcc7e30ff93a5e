// Enumeration and opening through SetupAPI and CreateFileW.
#include "backend/usbio/usbio_backend.h"

#include <cstddef>
#include <cwchar>
#include <memory>
#include <new>
#include <string_view>

#include "platform/thread.h"

#include "win32_headers.h"
// windows.h first: SetupAPI's header needs its types.
#include <setupapi.h>

namespace vexdaq {
namespace {

// The driver's device-interface class.
constexpr GUID kInterfaceClass = {
    0x4A47DBF9, 0x3159, 0x40CA, {0xB8, 0x3F, 0xB1, 0x4B, 0xC2, 0x74, 0xCC, 0x1C}};

// Discovery looks at no more interfaces than its table holds.
constexpr DWORD kMaxInterfaces = 32;

// The records SetupAPI fills have these sizes in a 32-bit process; a size field that disagrees
// makes SetupAPI refuse the call.
static_assert(sizeof(void *) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(void *) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);

struct DeviceInfoSet {
  explicit DeviceInfoSet(HDEVINFO s) : set(s) {}
  ~DeviceInfoSet() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  }
  DeviceInfoSet(const DeviceInfoSet &) = delete;
  DeviceInfoSet &operator=(const DeviceInfoSet &) = delete;
  HDEVINFO set;
};

// The device path of one interface: learn the detail record's size, then read it into a zeroed
// buffer of that size. False when either step fails.
bool interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA &interface_data, std::u16string &path) {
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &interface_data, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[required]());
  if (buffer == nullptr) return false;
  auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.get());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set, &interface_data, detail, required, nullptr, nullptr)) {
    return false;
  }
  // The path ends at its terminator or at the end of the record, whichever comes first.
  const size_t units =
      (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
  const size_t length = wcsnlen(detail->DevicePath, units);
  path.assign(reinterpret_cast<const char16_t *>(detail->DevicePath), length);
  return true;
}

class UsbioBackend final : public Backend {
 public:
  const char *name() const override { return "usbio"; }

  bool enumerate(std::vector<std::u16string> &paths) override {
    DeviceInfoSet interfaces(SetupDiGetClassDevsW(&kInterfaceClass, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (interfaces.set == INVALID_HANDLE_VALUE) {
      platform::set_last_error(GetLastError());
      return false;
    }
    // A position whose path cannot be read ends the walk: the positions after it would shift.
    for (DWORD member = 0; member < kMaxInterfaces; ++member) {
      SP_DEVICE_INTERFACE_DATA interface_data{};
      interface_data.cbSize = sizeof interface_data;
      if (!SetupDiEnumDeviceInterfaces(interfaces.set, nullptr, &kInterfaceClass, member,
                                       &interface_data)) {
        break;
      }
      std::u16string path;
      if (!interface_path(interfaces.set, interface_data, path) || path.empty()) break;
      paths.push_back(std::move(path));
    }
    return true;
  }

  // The interface paths of USB devices: "\\?\usb#vid_...", in either case.
  bool owns(const char16_t *path) const override {
    constexpr std::u16string_view kUsbInterfacePrefix = u"\\\\?\\usb#";
    const std::u16string_view p(path);
    if (p.size() < kUsbInterfacePrefix.size()) return false;
    for (std::size_t k = 0; k < kUsbInterfacePrefix.size(); ++k) {
      char16_t c = p[k];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != kUsbInterfacePrefix[k]) return false;
    }
    return true;
  }

  std::unique_ptr<OpenFile> open(const char16_t *path, uint32_t access, uint32_t share,
                                 uint32_t flags) override {
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(path), access, share, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      platform::set_last_error(GetLastError());
      return nullptr;
    }
    return open_usbio_file(handle, (flags & FILE_FLAG_OVERLAPPED) != 0);
  }
};

}  // namespace

Backend &usbio_backend() {
  static UsbioBackend backend;
  return backend;
}

}  // namespace vexdaq
