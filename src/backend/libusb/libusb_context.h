// The process's one libusb context and its event-handling thread.
//
// The context lives while anyone holds it: an enumeration for its duration, every open device
// until it is closed. The event thread, which runs every transfer completion, runs exactly while
// at least one device is open: the first open starts it, the last close stops it (the closer asks
// it to stop, interrupts libusb's event wait and joins it; transfers are all finished by then,
// since a device is closed only after its transfers were cancelled and completed).
#pragma once

#include <libusb.h>

#include <atomic>
#include <memory>

#include "platform/sync.h"
#include "platform/thread.h"

namespace vexdaq {

class LibusbContext {
 public:
  // The shared context, created on first use. Null when libusb cannot be initialised here (no
  // USB file system, as in most containers): there are no real devices then. Any thread.
  static std::shared_ptr<LibusbContext> acquire();

  ~LibusbContext();
  LibusbContext(const LibusbContext &) = delete;
  LibusbContext &operator=(const LibusbContext &) = delete;

  libusb_context *get() const { return context_; }

  // A device handle was opened / is about to be closed. device_opened starts the event thread
  // with the first device and returns false (nothing counted) when it cannot be started.
  // device_closed stops and joins it with the last. Application threads; never the event thread.
  bool device_opened();
  void device_closed();

  // Whether the calling thread is the event thread.
  bool on_event_thread() const;

 private:
  explicit LibusbContext(libusb_context *context) : context_(context) {}
  static uint32_t event_thread_main(void *argument);

  libusb_context *const context_;
  platform::Mutex mutex_;  // serialises device_opened/device_closed
  int open_devices_ GUARDED_BY(mutex_) = 0;
  std::unique_ptr<platform::Thread> event_thread_ GUARDED_BY(mutex_);
  std::atomic<bool> stop_events_{false};
};

}  // namespace vexdaq
