// The session's life: opening, the states between, closing. See core/session_life.h.
#include "core/session_life.h"

#include <cstdint>
#include <cstdlib>

#include "backend/driver.h"
#include "core/core_thread.h"
#include "device/discovery.h"
#include "platform/process_end.h"
#include "platform/thread.h"
#include "protocol/message.h"
#include "session/device_session.h"
#include "session/fifo.h"
#include "session/log.h"
#include "session/message_queue.h"
#include "session/session_calls.h"
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
  if (g_session.out_lock == nullptr || g_session.in_lock == nullptr ||
      g_session.message_lock == nullptr || g_session.message_available == nullptr ||
      g_session.message_queue == nullptr || g_session.message_done == nullptr) {
    log_print(LogLevel::kEntry, "usbio core starts failed on resources\r\n");
    return false;
  }
  message_queue_open();
  g_session.core_thread_handle = platform::Thread::create(core_thread_main, nullptr);
  if (g_session.core_thread_handle == nullptr) {
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
  return g_session.core_thread_handle != nullptr || g_session.control_handle != kInvalidHandle;
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
  close_at_exit_once();
  // Until the close, an application's FreeLibrary must not unload the code the session's threads
  // run: the unload's detach could neither join them (loader lock) nor leave them running.
  if (!g_holds_library) platform::hold_library();
  g_holds_library = true;
  // A new session streams only once it asks to, whatever the last session left behind, and
  // does not inherit its failures.
  g_session.run_requested.store(0);
  acknowledge_stream_failures();

  g_session.perf_frequency = platform::performance_frequency();
  g_session.open_start_count = platform::performance_counter();

  g_session.out_lock = platform::create_mutex();
  g_session.in_lock = platform::create_mutex();
  g_session.message_available = platform::create_semaphore(0, kMessageQueueCapacity);
  g_session.message_lock = platform::create_mutex();
  g_session.message_queue =
      fifo_create(kMessageQueueCapacity, static_cast<int32_t>(sizeof(CoreMessage)));
  g_session.message_done = platform::create_semaphore(0, 1);

  if (!start_core()) {
    g_session.core_failed.store(1);
    notify_stream_waiters();
  }
  g_session.session_token.store(
      g_session.core_failed.load() != 0
          ? 0
          : reinterpret_cast<uintptr_t>(g_session.core_thread_handle.get()));

  platform::sleep_ms(kOpenSettleMs);
  g_session.open_end_count = platform::performance_counter();
  g_session.open_elapsed_ns =
      ticks_to_ns(g_session.open_end_count - g_session.open_start_count, g_session.perf_frequency);
  log_print(LogLevel::kEntry, "<%s> elapsed %lld nanoseconds(ns)\r\n", "usbio_core_init",
            g_session.open_elapsed_ns);
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
    if (g_session.pipe_handles[pipe] != kInvalidHandle) driver_cancel(g_session.pipe_handles[pipe]);
  }
  if (was_open) {
    post_message(MSG_STOP, kStopKeepsRequest, 0, 0, nullptr);
    post_message(MSG_EXIT, 0, 0, 0, nullptr);
  }
  if (g_session.core_thread_handle != nullptr) {
    g_session.core_thread_handle->join();
    g_session.core_thread_handle.reset();
  }
  // The core has ended and released every poster; what is still inside the library leaves now,
  // and whatever arrives waits until the session is gone.
  const SessionTeardown teardown;
  g_session.message_done.reset();
  g_session.message_available.reset();
  g_session.message_lock.reset();
  if (g_session.message_queue != nullptr) {
    fifo_delete(g_session.message_queue);
    g_session.message_queue = nullptr;
  }
  g_session.out_lock.reset();
  g_session.in_lock.reset();

  g_session.out_active.store(0);
  g_session.in_active.store(0);
  g_session.streaming.store(0);
  g_session.core_exit.store(0);
  g_session.core_failed.store(0);
  notify_stream_waiters();

  // Handles before events: closing a handle completes its pending transfers, which set their
  // slot's event; an event destroyed first would be set after it is gone.
  driver_close(g_session.control_handle);
  for (DeviceHandle &pipe : g_session.pipe_handles) driver_close(pipe);
  for (int k = 0; k < kSlotCount; ++k) {
    g_session.tx_slots[k].overlapped.event.reset();
    g_session.rx_slots[k].overlapped.event.reset();
  }
  log_close();
  if (g_holds_library) platform::release_library();
  g_holds_library = false;
}

}  // namespace vexdaq
