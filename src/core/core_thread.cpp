#include "core/core_thread.h"

#include <atomic>
#include <exception>

#include "core/core_state.h"
#include "core/dispatch.h"
#include "core/stream_control.h"
#include "device/device_init.h"
#include "device/device_state.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/log.h"
#include "session/message_queue.h"
#include "session/session_state.h"
#include "stream/stream_state.h"
#include "stream/stream_waiters.h"
#include "stream/transfer_threads.h"

namespace vexdaq {

namespace {

std::unique_ptr<platform::Thread> create_transfer_thread(platform::Thread::Entry entry) {
  return platform::Thread::create(entry, nullptr, platform::Thread::Priority::kHighest);
}

std::atomic<TransferThreadFactory> g_transfer_thread_factory{create_transfer_thread};

void signal_start_up() {
  if (platform::Semaphore *done = g_session.message_done.get()) done->release(1);
}

void fail_start_up(const char *line) {
  set_core_failed(true);
  log_print(LogLevel::kEntry, line);
}

void compute_packet_sizes() {
  const int32_t out_count = g_device.out_channel_count.load();
  const int32_t in_count = g_device.in_channel_count.load();
  if (out_count <= 0 && in_count <= 0) return;  // nothing to stream: the sizes stay as they were
  g_device.out_packet_size.store(usbio_packet_size(out_count, g_device.out_sample_bits.load()));
  g_device.in_packet_size.store(usbio_packet_size(in_count, g_device.in_sample_bits.load()));
  log_print(LogLevel::kEntry, "USB Packet Size : %d out - %d in\r\n",
            g_device.out_packet_size.load(), g_device.in_packet_size.load());
}

// Returns true when the core came up and message_done was released; false after a failure, which
// core_thread_main reports once the failed start-up is cleaned away.
bool start_up() {
  if (usbio_controller_init() != ControllerInit::kReady) {
    fail_start_up("usbio core starts failed on device init\r\n");
    return false;
  }
  // A device just opened streams at its list's first rate until told otherwise: the rate an
  // earlier session set is not this one's (the depth and the gap detector follow it).
  remember_sample_rates(0, 0);
  usbio_controller_get_sample_width();
  log_print(LogLevel::kEntry, "usbio sample width : %d out - %d in\r\n",
            g_device.out_sample_bits.load(), g_device.in_sample_bits.load());
  // The line shows the device's own counts; the session keeps them limited to the tables.
  ChannelCounts reported{g_device.out_channel_count.load(), g_device.in_channel_count.load()};
  usbio_controller_get_channel_count(&reported);
  log_print(LogLevel::kEntry, "usbio channel count : %d out - %d in\r\n", reported.out_count,
            reported.in_count);
  compute_packet_sizes();

  const TransferThreadFactory create_thread = g_transfer_thread_factory.load();
  g_core.txthread_handle = create_thread(txthread);
  if (g_core.txthread_handle == nullptr) {
    fail_start_up("CreateThread txthread failed\r\n");
    return false;
  }
  g_core.rxthread_handle = create_thread(rxthread);
  if (g_core.rxthread_handle == nullptr) {
    // txthread is already running and ends only on core_exit; the shutdown joins it.
    set_core_exit(true);
    fail_start_up("CreateThread rxthread failed\r\n");
    return false;
  }

  log_print(LogLevel::kEntry, "usbio core is starting\r\n");
  signal_start_up();
  return true;
}

void shut_down() {
  // The transfer threads may be blocked in a synchronous post of their own; release them before
  // waiting for them.
  message_queue_close();
  if (g_core.txthread_handle != nullptr) g_core.txthread_handle->join();
  if (g_core.rxthread_handle != nullptr) g_core.rxthread_handle->join();
  g_core.txthread_handle.reset();
  g_core.rxthread_handle.reset();
  g_device.config_descriptor.reset();
  g_device.config_descriptor_size = 0;
  g_device.device_descriptor.reset();
}

struct Outcome {
  bool go_on = true;   // false after MSG_EXIT
  int32_t result = 0;  // what a waiting poster gets: 0 carried out, -1 refused
};

// The session's life, as the core sees it. The rules:
// - Once a close has begun (session_token is 0 while the core still runs), no message may start
//   a stream or reach the device: only stops and the exit are carried out, every other message
//   is refused (-1 to a waiting poster). A rate change or start that passed its session check
//   just before the close therefore cannot restart the stream between the close's stop and exit.
// - MSG_EXIT ends a stream still running before it lets the transfer threads end, so they are
//   never left inside a streaming period with nobody to stop it.
// - run_requested is written here only, in the order the messages are carried out: set by a
//   start, cleared by a stop that ends the request (kStopEndsRequest); a transfer failure and a
//   close keep it.
bool closing() {
  return g_session.session_token.load() == 0;
}

Outcome handle_message(const CoreMessage &message) {
  if (closing() && message.msg_id != MSG_STOP && message.msg_id != MSG_EXIT) {
    log_print(LogLevel::kEntry, "Message 0x%X refused: the session is closing\r\n", message.msg_id);
    return {.go_on = true, .result = -1};
  }
  switch (message.msg_id) {
    case MSG_START:
      usbio_stream_start();
      g_core.run_requested.store(1);
      return {};
    case MSG_STOP:
      usbio_stream_stop();
      if (message.primary == kStopEndsRequest) g_core.run_requested.store(0);
      return {};
    case MSG_EXIT:
      log_print(LogLevel::kEntry, "Message EXIT received\r\n");
      if (g_stream.streaming.load() != 0) usbio_stream_stop();
      set_core_exit(true);
      return {.go_on = false, .result = 0};
    default:
      dispatch_command_message(message);
      return {};
  }
}

}  // namespace

Dispatched dispatch_message() {
  TakenMessage taken;
  if (take_message(taken) < 0) return Dispatched::kWaitFailed;
  if (!taken.taken) return Dispatched::kGoOn;
  Outcome outcome;
  try {
    outcome = handle_message(taken.message);
  } catch (const std::exception &e) {
    // The core must outlive a surprise in one command, or every later poster would hang.
    log_print(LogLevel::kEntry, "Message 0x%X failed: %s\r\n", taken.message.msg_id, e.what());
  } catch (...) {
    log_print(LogLevel::kEntry, "Message 0x%X failed\r\n", taken.message.msg_id);
  }
  complete_message(taken, outcome.result);
  return outcome.go_on ? Dispatched::kGoOn : Dispatched::kExit;
}

void set_transfer_thread_factory(TransferThreadFactory factory) {
  g_transfer_thread_factory.store(factory != nullptr ? factory : create_transfer_thread);
}

uint32_t core_thread_main(void *) {
  platform::set_current_thread_name("vexdaq-core");
  if (!start_up()) {
    // The opener is released only after the clean-up, so no call of the application that follows
    // a failed open meets this thread still releasing what the start-up made.
    shut_down();
    signal_start_up();
    return 0;
  }
  while (dispatch_message() == Dispatched::kGoOn) {
  }
  shut_down();
  return 0;
}

}  // namespace vexdaq
