// The session's life: opening, the states between, closing. See core/session_life.h.
#include "core/session_life.h"

#include <cstdint>
#include <cstdlib>

#include "backend/driver.h"
#include "core/core_state.h"
#include "core/core_thread.h"
#include "device/device_state.h"
#include "device/discovery.h"
#include "platform/process_end.h"
#include "platform/thread.h"
#include "protocol/message.h"
#include "session/fifo.h"
#include "session/log.h"
#include "session/message_queue.h"
#include "session/session_calls.h"
#include "session/session_state.h"
#include "stream/stream_state.h"
#include "stream/stream_waiters.h"
#include "stream/transfer_threads.h"

namespace vexdaq {
namespace {

// Lets the core's last start-up log lines and the device settle before the first command.
constexpr uint32_t kOpenSettleMs = 100;

// (ticks * 10^9) / frequency without the intermediate product overflowing for long opens.
int64_t ticks_to_ns(int64_t ticks, int64_t frequency) {
  if (frequency <= 0) return 0;
  constexpr int64_t kNsPerSecond = 1000000000;
  return (ticks / frequency) * kNsPerSecond + (ticks % frequency) * kNsPerSecond / frequency;
}

// Starts the core and waits for its start-up signal. Returns false, without waiting, when the
// session's objects or the core thread could not be created; the session is then unusable.
bool start_core() {
  if (!message_queue_create()) {
    log_print(LogLevel::kEntry, "usbio core starts failed on resources\r\n");
    return false;
  }
  message_queue_open();
  g_core.core_thread_handle = platform::Thread::create(core_thread_main, nullptr);
  if (g_core.core_thread_handle == nullptr) {
    message_queue_close();
    log_print(LogLevel::kEntry, "CreateThread usbio core failed\r\n");
    return false;
  }
  g_session.message_done->wait();
  return true;
}

// A process that ends with its session still open: the close runs from exit(), before the static
// objects the session's threads use are destroyed. Left to the static destructors, the session's
// thread objects would join threads still blocked on those objects, and the exit would hang or
// crash. The Windows DLL skips its exit handlers when the process ends (the system has ended the
// session's threads by then: see platform/win32/dll_main.cpp); should this run then all the same,
// a close would wait for a core that no longer answers, so the log is only closed.
void close_at_exit() {
  if (platform::process_is_ending()) {
    log_close_unless_busy();
    return;
  }
  try {
    session_close();
  } catch (...) {
    // The process is ending; there is nobody left to tell.
  }
}

// Whether this session holds the library's module (see platform::hold_library). Under the
// life lock.
bool g_holds_library = false;

// A device is open (its core may or may not have come up) until the close has run.
bool session_exists() {
  return g_core.core_thread_handle != nullptr || g_device.control_handle != kInvalidHandle;
}

void close_at_exit_once() {
  static const bool registered = std::atexit(close_at_exit) == 0;
  (void)registered;
}

}  // namespace

platform::Mutex &life_lock() {
  static platform::Mutex *const lock = new platform::Mutex;
  return *lock;
}

int32_t session_open(int32_t index) {
  if (session_exists()) {
    // The running session keeps its log; this attempt leaves a file of its own.
    log_failed_open("vexdaq_device_open failed\r\n");
    return -1;
  }
  log_open();
  usbio_device_enumerate();
  if (usbio_device_open(index) != 0) {
    log_print(LogLevel::kEntry, "vexdaq_device_open failed\r\n");
    log_close();
    return -1;
  }
  open_transfer_slots();
  close_at_exit_once();
  // Until the close, an application's FreeLibrary must not unload the code the session's threads
  // run: the unload's detach could neither join them (loader lock) nor leave them running.
  if (!g_holds_library) platform::hold_library();
  g_holds_library = true;
  // A new session streams only once it asks to, whatever the last session left behind, and
  // does not inherit its failures.
  g_core.run_requested.store(0);
  acknowledge_stream_failures();

  g_core.perf_frequency = platform::performance_frequency();
  g_core.open_start_count = platform::performance_counter();

  if (!start_core()) set_core_failed(true);
  g_session.session_token.store(g_stream.core_failed.load() != 0
                                    ? 0
                                    : reinterpret_cast<uintptr_t>(g_core.core_thread_handle.get()));

  platform::sleep_ms(kOpenSettleMs);
  g_core.open_end_count = platform::performance_counter();
  g_core.open_elapsed_ns =
      ticks_to_ns(g_core.open_end_count - g_core.open_start_count, g_core.perf_frequency);
  log_print(LogLevel::kEntry, "<%s> elapsed %lld nanoseconds(ns)\r\n", "usbio_core_init",
            g_core.open_elapsed_ns);
  log_print(LogLevel::kEntry, "vexdaq_device_open success (0x%p)\r\n",
            reinterpret_cast<const void *>(g_session.session_token.load()));
  return 0;
}

void session_close() {
  const platform::MutexLock hold(life_lock());
  log_print(LogLevel::kEntry, "vexdaq_device_close\r\n");
  // Cleared first: every export that enters from now on gives its no-session result without
  // touching the session, and a blocked data call woken below sees it and leaves with -1.
  const bool was_open = g_session.session_token.exchange(0) != 0;
  notify_stream_waiters();
  // A UART call waiting for its transfer is released by the cancel rather than by its time-out.
  for (int pipe : {kUartOutPipeIndex, kUartInPipeIndex}) {
    if (g_device.pipe_handles[pipe] != kInvalidHandle) driver_cancel(g_device.pipe_handles[pipe]);
  }
  if (was_open) {
    post_message(MSG_STOP, kStopKeepsRequest, 0, 0, nullptr);
    post_message(MSG_EXIT, 0, 0, 0, nullptr);
  }
  if (g_core.core_thread_handle != nullptr) {
    g_core.core_thread_handle->join();
    g_core.core_thread_handle.reset();
  }
  // The core has ended and released every poster; what is still inside the library leaves now,
  // and whatever arrives waits until the session is gone.
  const SessionTeardown teardown;
  message_queue_destroy();
  for (auto [lock, active] : {std::pair{&g_stream.out_lock, &g_stream.out_active},
                              std::pair{&g_stream.in_lock, &g_stream.in_active}}) {
    const platform::MutexLock hold(*lock);
    active->store(0);
  }
  set_streaming(false);
  set_core_exit(false);
  set_core_failed(false);

  // Handles before events: closing a handle completes its pending transfers, which set their
  // slot's event; an event destroyed first would be set after it is gone.
  driver_close(g_device.control_handle);
  for (DeviceHandle &pipe : g_device.pipe_handles) driver_close(pipe);
  close_transfer_slots();
  log_close();
  if (g_holds_library) platform::release_library();
  g_holds_library = false;
}

}  // namespace vexdaq
