// The driver facade: the backend table and the table of open handles.
#include "backend/driver.h"
#include "backend/driver_pin.h"

#include <unordered_map>

#include "backend/libusb/libusb_backend.h"
#include "backend/sim/sim_backend.h"
#include "backend/usbio/usbio_backend.h"
#include "platform/thread.h"

namespace vexdaq {
namespace {

// The platform's real devices where no backend reaches them: none.
class NoRealDevices final : public Backend {
 public:
  const char *name() const override { return "none"; }
  bool enumerate(std::vector<std::u16string> &) override { return true; }
  bool owns(const char16_t *) const override { return false; }
  std::unique_ptr<OpenFile> open(const char16_t *, uint32_t, uint32_t, uint32_t) override {
    platform::set_last_error(kStatusFileNotFound);
    return nullptr;
  }
};

Backend &real_backend() {
  if constexpr (kHaveUsbio) return usbio_backend();
  if constexpr (kHaveLibusb) return libusb_backend();
  static NoRealDevices backend;
  return backend;
}

std::atomic<uint32_t> g_last_open_failure{0};

// Real backend first, so real devices keep the lower positions; then the virtual instrument.
struct BackendTable {
  Backend *entries[2];
};

BackendTable backends() {
  return {{&real_backend(), &sim_backend()}};
}

bool is_hidden(Backend *backend) {
  return backend == &real_backend() && sim_backend().hides_real_devices();
}

struct HandleEntry {
  Backend *backend = nullptr;
  std::shared_ptr<OpenFile> file;
};

// Open handles. A lookup copies the entry's shared_ptr under the lock, so a concurrent close
// only drops the table's reference: the file lives until the last call using it has returned.
class HandleTable {
 public:
  DeviceHandle insert(Backend *backend, std::unique_ptr<OpenFile> file) {
    platform::MutexLock lock(mutex_);
    // Increasing values: a stale handle of a closed file never reaches a newer one.
    DeviceHandle handle = next_++;
    entries_.emplace(handle, HandleEntry{backend, std::move(file)});
    return handle;
  }
  std::shared_ptr<OpenFile> find(DeviceHandle handle) {
    platform::MutexLock lock(mutex_);
    auto it = entries_.find(handle);
    return it == entries_.end() ? nullptr : it->second.file;
  }
  std::shared_ptr<OpenFile> remove(DeviceHandle handle) {
    platform::MutexLock lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) return nullptr;
    std::shared_ptr<OpenFile> file = std::move(it->second.file);
    entries_.erase(it);
    return file;
  }

 private:
  platform::Mutex mutex_;
  std::unordered_map<DeviceHandle, HandleEntry> entries_ GUARDED_BY(mutex_);
  DeviceHandle next_ GUARDED_BY(mutex_) = 0x100;  // far from kInvalidHandle and from 0
};

HandleTable &handles() {
  static HandleTable table;
  return table;
}

std::shared_ptr<OpenFile> lookup(DeviceHandle handle) {
  std::shared_ptr<OpenFile> file = handles().find(handle);
  if (!file) platform::set_last_error(kStatusInvalidHandle);
  return file;
}

}  // namespace

bool driver_enumerate(std::vector<std::u16string> &paths) {
  paths.clear();
  bool complete = true;
  for (Backend *backend : backends().entries) {
    if (is_hidden(backend)) continue;
    if (!backend->enumerate(paths)) complete = false;
  }
  return complete;
}

DeviceHandle driver_open(const char16_t *path, uint32_t access, uint32_t share, uint32_t flags) {
  if (path == nullptr) {
    platform::set_last_error(kStatusInvalidParameter);
    return kInvalidHandle;
  }
  for (Backend *backend : backends().entries) {
    if (!backend->owns(path)) continue;
    if (is_hidden(backend)) break;
    std::unique_ptr<OpenFile> file = backend->open(path, access, share, flags);
    if (!file) {
      g_last_open_failure.store(platform::last_error());
      return kInvalidHandle;
    }
    return handles().insert(backend, std::move(file));
  }
  platform::set_last_error(kStatusFileNotFound);
  g_last_open_failure.store(kStatusFileNotFound);
  return kInvalidHandle;
}

uint32_t driver_last_open_failure() {
  return g_last_open_failure.load();
}

bool driver_ioctl(DeviceHandle handle, uint32_t code, const void *in, uint32_t in_size, void *out,
                  uint32_t out_size, uint32_t *returned) {
  if (returned != nullptr) *returned = 0;
  std::shared_ptr<OpenFile> file = lookup(handle);
  return file && file->ioctl(code, in, in_size, out, out_size, returned);
}

bool driver_read(DeviceHandle handle, Overlapped &record, void *buffer, uint32_t size) {
  std::shared_ptr<OpenFile> file = lookup(handle);
  return file && file->start_read(record, buffer, size);
}

bool driver_write(DeviceHandle handle, Overlapped &record, const void *buffer, uint32_t size) {
  std::shared_ptr<OpenFile> file = lookup(handle);
  return file && file->start_write(record, buffer, size);
}

std::shared_ptr<OpenFile> driver_pin(DeviceHandle handle) {
  return lookup(handle);
}

bool driver_cancel(DeviceHandle handle) {
  std::shared_ptr<OpenFile> file = lookup(handle);
  if (!file) return false;
  file->cancel();
  return true;
}

void driver_close(DeviceHandle &handle) {
  if (handle == kInvalidHandle) return;
  std::shared_ptr<OpenFile> file = handles().remove(handle);
  handle = kInvalidHandle;
  if (file) file->cancel();
}

}  // namespace vexdaq
