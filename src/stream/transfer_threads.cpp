#include "stream/transfer_threads.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "backend/driver.h"
#include "core/message.h"
#include "core/stream_control.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/device_session.h"
#include "session/log.h"
#include "stream/channel_tables.h"
#include "stream/loss_counters.h"
#include "stream/packing.h"
#include "stream/stream_signal.h"
#include "stream/stream_waiters.h"

namespace vexdaq {

namespace {

// A transfer that has not completed within 1500 ms will not: the slowest packet the device
// sends is due well inside that.
constexpr uint32_t kSlotWaitMs = 1500;
// How soon a thread waiting for a slot notices the end of streaming.
constexpr uint32_t kSlotWaitStepMs = 20;
// The packet sizes in use never exceed one bulk packet; anything larger is not trusted.
constexpr int32_t kMaxPacketBytes = 512;

bool streaming_or_exit() {
  return g_session.streaming.load() != 0 || g_session.core_exit.load() != 0;
}

// A thread with nothing to move sleeps through the streaming period until the stream state
// changes (normally the stop). Waiting for the change rather than for `streaming` to clear means
// a stop followed at once by a start is not slept through: the next period chooses afresh.
void sleep_through_period(uint64_t generation) {
  wait_for_stream_change(generation);
}

int32_t bounded_packet_size(int32_t size) {
  return std::clamp(size, 0, kMaxPacketBytes);
}

void forget_warnings(bool input) {
  if (platform::Mutex *lock = direction_lock(input)) {
    platform::MutexLock hold(*lock);
    forget_missing_fifo_warnings(input);
  }
}

// Failures that ended a stream, and how many of them have been acknowledged; both only grow.
std::atomic<uint64_t> g_stream_failures{0};
std::atomic<uint64_t> g_acknowledged_failures{0};

// A slot that did not complete, or completed with an error: the stream cannot go on. status is
// the thread's last error after a failed wait, or the transfer's own status.
void fail_transfer(bool input, platform::WaitResult waited, uint32_t status) {
  g_session.last_status.store(status);
  log_print(1,
            input ? "hReadEvent failed retval = 0x%lx status = 0x%08X.\r\n"
                  : "hWriteEvent failed retval = 0x%lx status = 0x%08X.\r\n",
            static_cast<uint32_t>(waited), status);
  g_stream_failures.fetch_add(1);  // before core_failed: whoever sees the flag sees the count
  if (platform::Mutex *lock = g_session.message_lock.get()) {
    platform::MutexLock hold(*lock);
    g_session.core_failed.store(1);
  }
  count_transfer_failure(input);
  notify_stream_waiters();  // blocked data calls fail now rather than after the stop
  // The direction's other transfers are no better off: cancelling them completes their slots, so
  // the stop does not wait out 1500 ms for each before it aborts the pipe anyway.
  driver_cancel(g_session.pipe_handles[input ? 1 : 0]);
  post_message(MSG_STOP, 0, 0, 0, nullptr);
}

// Waits up to 1500 ms for the slot's event, in short steps so that a stop is noticed: once the
// core winds down it waits on the same auto-reset events, and a signal this thread took in its
// place would leave the core's wait, or this one, to run out. kTimedOut also when streaming
// ended first (the event is then left for the core).
platform::WaitResult wait_slot(XferSlot &slot) {
  platform::Event *event = slot.overlapped.event.get();
  if (event == nullptr) return platform::WaitResult::kFailed;
  for (uint32_t waited = 0; waited < kSlotWaitMs; waited += kSlotWaitStepMs) {
    const platform::WaitResult result =
        event->wait(std::min(kSlotWaitStepMs, kSlotWaitMs - waited));
    if (result != platform::WaitResult::kTimedOut) return result;
    if (g_session.streaming.load() == 0) break;
  }
  return platform::WaitResult::kTimedOut;
}

// Streaming ended while this thread waited for the slot: a transfer started now would go to a
// device that has been told to stop and never complete, and the core's wind-down would wait it
// out. The slot is idle instead, its event set again as the core expects of a finished slot.
void release_slot(XferSlot &slot) {
  if (platform::Event *event = slot.overlapped.event.get()) event->set();
}

// Waits for the slot's transfer. True when it completed without error; false when the period
// is over for this thread: the transfer did not complete in time or failed (then the failure
// path has run), or streaming ended meanwhile (then the slot is left to the wind-down).
// A failed transfer is a failure of the stream, not a packet to skip: its samples are lost, and
// an endpoint that fails every transfer at once (halted) would otherwise be retried in a spin.
bool slot_completed(bool input, XferSlot &slot) {
  const platform::WaitResult waited = wait_slot(slot);
  if (waited != platform::WaitResult::kSignaled) {
    // Once streaming has ended a late transfer is the wind-down's to abort, not a failure.
    if (g_session.streaming.load() != 0) fail_transfer(input, waited, platform::last_error());
    return false;
  }
  const uint32_t status = slot.overlapped.internal.load();
  if (status == kStatusSuccess) return true;
  // The slot is idle either way: nothing is pending on it for the wind-down to wait for.
  release_slot(slot);
  if (g_session.streaming.load() != 0) fail_transfer(input, waited, status);
  return false;
}

// Streaming may have ended between the look at the flag and the start of the transfer. Until
// the device is told to stop, the transfer is an ordinary one: the device's stop flushes it and
// the wind-down waits for it, and the samples it carries reach the device as counted. Once the
// device has been told, the transfer would never complete and the wind-down would wait it out;
// cancelling the pipe's transfers completes them at once.
bool stopped_while_starting(DeviceHandle pipe) {
  if (g_session.streaming.load() != 0) return false;
  if (device_told_to_stop()) driver_cancel(pipe);
  return true;
}

// A transfer the driver refused to start (the device is gone, the handle is bad) never signals
// its slot: left to the next wait it would surface only 1500 ms later, or not at all if a stop
// came first, and the packet it carried would vanish without a word while the wind-down waited
// out the slot. It fails the stream now, with the driver's reason, and leaves the slot idle.
void failed_to_start(bool input, XferSlot &slot) {
  const uint32_t status = platform::last_error();
  release_slot(slot);
  if (g_session.streaming.load() != 0) fail_transfer(input, platform::WaitResult::kFailed, status);
}

// One streaming period of txthread. Returns when streaming ends or a transfer failed.
void transmit(PackFunction packer, int32_t size) {
  while (g_session.streaming.load() != 0) {
    for (int32_t k = 0; k < kSlotCount; ++k) {
      // Stop at once when streaming ends: a slot left unwaited keeps its event for the core's
      // wind-down wait instead of starting a transfer nobody wants.
      if (g_session.streaming.load() == 0) return;
      XferSlot &slot = g_session.tx_slots[k];
      if (!slot_completed(false, slot)) return;
      if (g_session.streaming.load() == 0) {
        release_slot(slot);
        return;
      }
      std::memset(slot.buffer, 0, static_cast<size_t>(size));
      packer(slot.buffer, size);  // wakes the data calls waiting for the room it makes
      const bool started = driver_write(g_session.pipe_handles[0], slot.overlapped, slot.buffer,
                                        static_cast<uint32_t>(size));
      if (!started) {
        failed_to_start(false, slot);
        return;
      }
      if (stopped_while_starting(g_session.pipe_handles[0])) return;
    }
  }
}

// One streaming period of rxthread.
void receive(UnpackFunction unpacker, int32_t size) {
  while (g_session.streaming.load() != 0) {
    for (int32_t k = 0; k < kSlotCount; ++k) {
      if (g_session.streaming.load() == 0) return;
      XferSlot &slot = g_session.rx_slots[k];
      if (!slot_completed(true, slot)) return;
      // Only the bytes the read delivered hold this packet's samples; the rest of the buffer is
      // the previous packet's and must not be delivered twice.
      const uint32_t delivered = slot.overlapped.internal_high.load();
      const int32_t valid = static_cast<int32_t>(std::min<uint32_t>(delivered, size));
      if (valid > 0) unpacker(slot.buffer, valid);  // wakes the calls waiting for its samples
      slot.overlapped.internal_high.store(0);
      if (g_session.streaming.load() == 0) {
        release_slot(slot);
        return;
      }
      const bool started = driver_read(g_session.pipe_handles[1], slot.overlapped, slot.buffer,
                                       static_cast<uint32_t>(size));
      if (!started) {
        failed_to_start(true, slot);
        return;
      }
      if (stopped_while_starting(g_session.pipe_handles[1])) return;
    }
  }
}

}  // namespace

bool stream_failure_unacknowledged() {
  return g_acknowledged_failures.load() != g_stream_failures.load();
}

void acknowledge_stream_failures() {
  g_acknowledged_failures.store(g_stream_failures.load());
}

uint32_t txthread(void *) {
  for (;;) {
    wait_for_stream_state(streaming_or_exit);
    const uint64_t generation = stream_state_generation();
    if (g_session.streaming.load() != 0 && g_session.core_exit.load() == 0) {
      // Chosen once per streaming period; the width and count stay put while it lasts.
      const int32_t count = g_session.out_channel_count.load();
      const PackFunction packer = select_tx_packer(count, g_session.out_sample_bits.load());
      const int32_t size = bounded_packet_size(g_session.out_packet_size.load());
      forget_warnings(false);
      if (packer != nullptr && size > 0) {
        transmit(packer, size);
      } else {
        sleep_through_period(generation);  // nothing to send
      }
    }
    if (g_session.core_exit.load() != 0) return 0;
  }
}

uint32_t rxthread(void *) {
  for (;;) {
    wait_for_stream_state(streaming_or_exit);
    const uint64_t generation = stream_state_generation();
    if (g_session.streaming.load() != 0 && g_session.core_exit.load() == 0) {
      const int32_t count = g_session.in_channel_count.load();
      const UnpackFunction unpacker = select_rx_unpacker(count, g_session.in_sample_bits.load());
      const int32_t size = bounded_packet_size(g_session.in_packet_size.load());
      forget_warnings(true);
      if (unpacker != nullptr && size > 0) {
        receive(unpacker, size);
      } else {
        sleep_through_period(generation);
      }
    }
    if (g_session.core_exit.load() != 0) return 0;
  }
}

}  // namespace vexdaq
