#include "stream/transfer_threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "backend/driver.h"
#include "backend/driver_pin.h"
#include "device/device_state.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/log.h"
#include "session/message_queue.h"
#include "session/session_state.h"
#include "stream/channel_tables.h"
#include "stream/loss_counters.h"
#include "stream/packing.h"
#include "stream/stream_signal.h"
#include "stream/stream_state.h"
#include "stream/stream_timing.h"
#include "stream/stream_waiters.h"
#include "stream/transfer_timeout.h"

namespace vexdaq {

static_assert(kMaxTransferDepth == kSlotCount, "every depth needs its slots");

namespace {

// The wind-down's bound: the device's stop completes its transfers at once, so one that has not
// within 1500 ms will not. (While the stream runs, a transfer waits as long as its packet takes
// to fill: transfer_timeout.h.)
constexpr uint32_t kSlotWaitMs = 1500;
// Completed slots handled under one lock acquisition at most; bounds the time a data call waits
// for the direction's lock behind a batch (64 packets are some microseconds of copying).
constexpr int32_t kMaxBatch = 64;

std::atomic<int32_t> g_depth_setting[2] = {0, 0};
std::atomic<TransferRealtime> g_realtime_setting{TransferRealtime::kAutomatic};
// SCHED_FIFO priority of the transfer threads when the application asks for a real-time class.
constexpr int32_t kTransferRealtimePriority = 10;
std::atomic<int32_t> g_depth[2] = {kMinTransferDepth, kMinTransferDepth};
// Counts the streaming periods the core began; a thread's period is the value it saw.
std::atomic<uint64_t> g_period{0};

// Whether each thread has transfers of a period outstanding (index 1: rx).
// Never destroyed (as a std::mutex in effect was): a thread or exit handler still running while
// the static destructors run may take it.
platform::Mutex &g_idle_mutex = *new platform::Mutex;
platform::CondVar &g_idle_changed = *new platform::CondVar;
bool g_busy[2] GUARDED_BY(g_idle_mutex) = {false, false};
// The last period each thread has posted its transfers for.
uint64_t g_primed[2] GUARDED_BY(g_idle_mutex) = {0, 0};

void set_busy(bool input, bool busy) {
  {
    platform::MutexLock hold(g_idle_mutex);
    g_busy[input ? 1 : 0] = busy;
  }
  g_idle_changed.notify_all();
}

// The period's transfers are posted (or the thread has none to post, or gave up).
void mark_primed(bool input, uint64_t period) {
  {
    platform::MutexLock hold(g_idle_mutex);
    uint64_t &primed = g_primed[input ? 1 : 0];
    primed = std::max(primed, period);
  }
  g_idle_changed.notify_all();
}

bool streaming_or_exit() {
  return g_stream.streaming.load() != 0 || g_stream.core_exit.load() != 0;
}

int64_t deadline_after(uint32_t ms) {
  return platform::performance_counter() + platform::performance_frequency() * ms / 1000;
}

// Whole milliseconds left until the deadline, rounded up so a wait never ends early; 0 once
// it has passed.
uint32_t ms_until(int64_t deadline) {
  const int64_t left = deadline - platform::performance_counter();
  if (left <= 0) return 0;
  const int64_t frequency = platform::performance_frequency();
  return static_cast<uint32_t>(
      std::min<int64_t>((left * 1000 + frequency - 1) / frequency, kSlotWaitMs));
}

void forget_warnings(bool input) {
  const platform::MutexLock hold(direction_lock(input));
  forget_missing_fifo_warnings(input);
}

// Whether a thread serving `file` asks for a real-time class: as the application chose, or, left
// automatic, while the device paces the stream.
bool wants_realtime(const OpenFile *file) {
  switch (transfer_realtime_setting()) {
    case TransferRealtime::kOff:
      return false;
    case TransferRealtime::kOn:
      return true;
    case TransferRealtime::kAutomatic:
      break;
  }
  return file != nullptr && file->paced();
}

// Gives the calling transfer thread the class `realtime` asks for and logs what it got (the rx
// thread speaks for both). A refused real-time class is logged with its reason once per session
// (*refusal_logged): it will not change while the session runs, and the fix is the user's (a
// limits drop-in granting rtprio, see README).
void set_transfer_class(bool input, bool realtime, bool *refusal_logged) {
  platform::raise_current_thread_priority(realtime ? kTransferRealtimePriority : 0);
  if (!input) return;
  const char *refusal = realtime ? platform::current_thread_realtime_refusal() : "";
  if (refusal[0] == '\0') {
    log_print(LogLevel::kEntry, "transfer threads scheduling : %s\r\n",
              platform::current_thread_scheduling());
  } else if (!*refusal_logged) {
    *refusal_logged = true;
    log_print(LogLevel::kEntry,
              "transfer threads scheduling : %s (SCHED_FIFO priority %d refused: %s; "
              "packaging/95-vexdaq-realtime.conf grants it to the group vexdaq)\r\n",
              platform::current_thread_scheduling(), kTransferRealtimePriority, refusal);
  }
}

// Failures that ended a stream, and how many of them have been acknowledged; both only grow.
std::atomic<uint64_t> g_stream_failures{0};
std::atomic<uint64_t> g_acknowledged_failures{0};

// The transfers one thread keeps in flight for one streaming period: its slots as a ring,
// `outstanding` transfers in flight starting at slot `next` (the oldest).
class PeriodTransfers {
 public:
  PeriodTransfers(bool input, const PacketLayout &layout, int32_t depth, uint64_t period,
                  bool &realtime)
      : input_(input),
        realtime_(realtime),
        slots_(input ? g_stream.rx_slots : g_stream.tx_slots),
        pipe_(g_device.pipe_handles[input ? 1 : 0]),
        file_(driver_pin(pipe_)),
        layout_(layout),
        depth_(std::clamp(depth, kMinTransferDepth, kMaxTransferDepth)),
        period_(period),
        packet_frames_(layout.packet_size / (layout.channel_count * layout.sample_bytes)),
        timeout_ms_(transfer_timeout_ms(stream_rate(input), packet_frames_)),
        judged_(input && file_ != nullptr && file_->paced()) {}

  // Runs the period to its end; on return nothing is outstanding.
  void run();

 private:
  // The exit ends a period too: the core stops a running stream before it exits, but a thread
  // must not depend on that to leave.
  bool running() const {
    return g_stream.streaming.load() != 0 && g_stream.core_exit.load() == 0 &&
           g_period.load() == period_;
  }
  platform::Event *event(int32_t k) { return slots_[k].overlapped.event.get(); }
  bool start(int32_t k);
  void collect_after_cancel();
  void drain();
  void fail(platform::WaitResult waited, uint32_t status);

  void look_at_pacing();

  const bool input_;
  bool &realtime_;  // the thread's class: true while it runs real time
  int32_t batches_since_look_ = 0;
  XferSlot *const slots_;
  const DeviceHandle pipe_;
  const std::shared_ptr<OpenFile> file_;  // the pipe's, held for the period: no lookup per packet
  const PacketLayout layout_;
  const int32_t depth_;
  const uint64_t period_;
  const int32_t packet_frames_;
  const uint32_t timeout_ms_;  // while the period runs
  const bool judged_;          // a paced input stream: its arrivals feed the gap detector
  int32_t next_ = 0;
  int32_t outstanding_ = 0;
};

// A device whose pacing stops in the middle of a period (a virtual instrument set to run free)
// completes every transfer at once: a real-time thread serving it would never block and would
// take a whole processor. Looked at every kPacingLookBatches batches, not per batch: the look
// may take the device model's lock.
constexpr int32_t kPacingLookBatches = 256;

void PeriodTransfers::look_at_pacing() {
  if (!realtime_ || ++batches_since_look_ < kPacingLookBatches) return;
  batches_since_look_ = 0;
  if (!wants_realtime(file_.get())) {
    realtime_ = false;
    bool unused = false;  // leaving the real-time class is never refused
    set_transfer_class(input_, false, &unused);
  }
}

// Starts the transfer of slot k (a tx slot's packet is already filled).
bool PeriodTransfers::start(int32_t k) {
  XferSlot &slot = slots_[k];
  slot.overlapped.internal.store(0);
  slot.overlapped.internal_high.store(0);
  const auto size = static_cast<uint32_t>(layout_.packet_size);
  if (!file_) {
    platform::set_last_error(kStatusInvalidHandle);
    return false;
  }
  return input_ ? file_->start_read(slot.overlapped, slot.buffer, size)
                : file_->start_write(slot.overlapped, slot.buffer, size);
}

// After driver_cancel every transfer of the pipe has completed and set its event: take those
// signals, so the next period starts from clear events.
void PeriodTransfers::collect_after_cancel() {
  for (; outstanding_ > 0; --outstanding_) {
    if (platform::Event *e = event(next_)) e->wait(0);
    next_ = (next_ + 1) % depth_;
  }
}

// The period is over: collects what is still in flight. The device's stop completes its
// transfers; one that has not within 1500 ms (a stalled endpoint, a start the device refused)
// never will, and cancelling the pipe completes it.
void PeriodTransfers::drain() {
  const int64_t deadline = deadline_after(kSlotWaitMs);
  while (outstanding_ > 0) {
    platform::Event *e = event(next_);
    if (e == nullptr || e->wait(ms_until(deadline)) != platform::WaitResult::kSignaled) {
      driver_cancel(pipe_);
      collect_after_cancel();
      return;
    }
    --outstanding_;
    next_ = (next_ + 1) % depth_;
  }
}

// A slot did not complete in time, completed with an error, or could not be started, while the
// period ran: the stream cannot go on, and its samples are lost. status is the thread's last
// error after a failed wait or start, or the transfer's own status.
void PeriodTransfers::fail(platform::WaitResult waited, uint32_t status) {
  g_device.last_status.store(status);
  log_print(LogLevel::kEntry,
            input_ ? "hReadEvent failed retval = 0x%lx status = 0x%08X.\r\n"
                   : "hWriteEvent failed retval = 0x%lx status = 0x%08X.\r\n",
            static_cast<uint32_t>(waited), status);
  // Counted before core_failed: whoever sees the flag sees the counts. The flag wakes the
  // blocked data calls, which fail now rather than after the stop.
  g_stream_failures.fetch_add(1);
  count_transfer_failure(input_);
  set_core_failed(true);
  // The direction's other transfers are no better off: cancelling completes them, so nothing of
  // this period is outstanding when the core stops the stream.
  driver_cancel(pipe_);
  collect_after_cancel();
  // The stop about to be posted waits for idle, and a start still waiting for this period's
  // transfers must not wait for them.
  mark_primed(input_, period_);
  set_busy(input_, false);
  post_message(MSG_STOP, kStopKeepsRequest, 0, 0, nullptr);
}

void PeriodTransfers::run() {
  uint8_t *packets[kMaxBatch];
  int32_t sizes[kMaxBatch];
  int32_t ready[kMaxBatch];

  if (judged_) begin_input_timing(packet_frames_, depth_);
  // Prime: every slot gets a transfer. tx packets carry what the FIFOs hold now.
  for (int32_t k = 0; k < depth_; ++k) {
    if (platform::Event *e = event(k)) e->reset();
  }
  for (int32_t first = 0; first < depth_; first += kMaxBatch) {
    const int32_t n = std::min(kMaxBatch, depth_ - first);
    if (!input_) {
      for (int32_t i = 0; i < n; ++i) {
        packets[i] = slots_[first + i].buffer;
        std::memset(packets[i], 0, static_cast<size_t>(layout_.packet_size));
      }
      pack_packets(layout_, packets, n);
    }
    for (int32_t i = 0; i < n; ++i) {
      if (!start(first + i)) {
        const uint32_t status = platform::last_error();
        if (running()) return fail(platform::WaitResult::kFailed, status);
        return drain();
      }
      ++outstanding_;
    }
  }
  mark_primed(input_, period_);

  for (;;) {
    // One wait, its bound measured on the clock: the wake-up is the transfer's completion (the
    // device's stop completes the transfers in flight too), never a timer.
    platform::Event *e = event(next_);
    const platform::WaitResult waited =
        e == nullptr ? platform::WaitResult::kFailed : e->wait(timeout_ms_);
    // Read once: the period either still runs or is over, whatever happens to the flag next.
    const bool on = running();
    if (waited != platform::WaitResult::kSignaled) {
      if (on) return fail(waited, platform::last_error());
      return drain();
    }
    // Everything that completed behind it is handled in the same batch.
    int32_t n = 0;
    ready[n++] = next_;
    --outstanding_;
    while (n < kMaxBatch && outstanding_ > 0) {
      const int32_t k = (ready[0] + n) % depth_;
      platform::Event *more = event(k);
      if (more == nullptr || more->wait(0) != platform::WaitResult::kSignaled) break;
      ready[n++] = k;
      --outstanding_;
    }
    next_ = (ready[0] + n) % depth_;
    for (int32_t i = 0; i < n; ++i) {
      const uint32_t status = slots_[ready[i]].overlapped.internal.load();
      if (status == kStatusSuccess) continue;
      // A failed transfer is a failure of the stream, not a packet to skip: an endpoint that
      // fails every transfer at once (halted) would otherwise be retried in a spin. Once the
      // period is over, errors are the cancellations of the wind-down.
      if (on) return fail(platform::WaitResult::kSignaled, status);
      return drain();
    }
    if (!on) return drain();  // the stop empties the FIFOs: nothing to move any more

    for (int32_t i = 0; i < n; ++i) packets[i] = slots_[ready[i]].buffer;
    if (input_) {
      // Only the bytes the read delivered hold this packet's samples; the rest of the buffer is
      // the previous packet's and must not be delivered twice.
      for (int32_t i = 0; i < n; ++i) {
        sizes[i] = static_cast<int32_t>(
            std::min<uint32_t>(slots_[ready[i]].overlapped.internal_high.load(),
                               static_cast<uint32_t>(layout_.packet_size)));
      }
      unpack_packets(layout_, packets, sizes, n);  // wakes calls waiting for these samples
      if (judged_) {
        int64_t bytes = 0;
        for (int32_t i = 0; i < n; ++i) bytes += sizes[i];
        add_input_frames(bytes / (layout_.channel_count * layout_.sample_bytes));
      }
    } else {
      for (int32_t i = 0; i < n; ++i) {
        std::memset(packets[i], 0, static_cast<size_t>(layout_.packet_size));
      }
      pack_packets(layout_, packets, n);  // wakes calls waiting for the room this makes
    }
    for (int32_t i = 0; i < n; ++i) {
      if (!start(ready[i])) {
        // Refused by the driver (the device is gone, the handle is bad): the slot never
        // completes, so the failure is reported now, with the driver's reason.
        const uint32_t status = platform::last_error();
        if (running()) return fail(platform::WaitResult::kFailed, status);
        return drain();
      }
      ++outstanding_;
    }
    look_at_pacing();
    // Streaming may have ended while these started. Until the device is told to stop they are
    // ordinary transfers its stop flushes; after that they would never complete.
    if (!running()) {
      if (device_told_to_stop()) driver_cancel(pipe_);
      return drain();
    }
  }
}

// What one thread does between periods: sleeps on the stream signal until streaming starts or
// the session ends.
uint32_t transfer_thread(bool input) {
  platform::set_current_thread_name(input ? "vexdaq-rx" : "vexdaq-tx");
  // One line per session, and one per change of class: both threads ask for the same.
  if (input) {
    log_print(LogLevel::kEntry, "transfer threads scheduling : %s\r\n",
              platform::current_thread_scheduling());
  }
  bool realtime = false;
  bool refusal_logged = false;
  for (;;) {
    wait_for_stream_state(streaming_or_exit);
    const std::shared_ptr<OpenFile> file = driver_pin(g_device.pipe_handles[input ? 1 : 0]);
    if (wants_realtime(file.get()) != realtime) {
      realtime = !realtime;
      set_transfer_class(input, realtime, &refusal_logged);
    }
    const uint64_t generation = stream_state_generation();
    // Busy before the look at `streaming`: a core that clears the flag and then finds this
    // thread idle knows it will not start a transfer.
    set_busy(input, true);
    if (g_stream.streaming.load() != 0 && g_stream.core_exit.load() == 0) {
      const uint64_t period = g_period.load();
      // Read once per period: a query on another thread must not re-map the packets in flight.
      const PacketLayout layout = current_layout(input);
      forget_warnings(input);
      if (valid(layout)) {
        PeriodTransfers(input, layout, g_depth[input ? 1 : 0].load(), period, realtime).run();
        mark_primed(input, period);
        set_busy(input, false);
      } else {
        mark_primed(input, period);
        set_busy(input, false);
        wait_for_stream_change(generation);  // nothing to move until the stream state changes
      }
    }
    set_busy(input, false);
    if (g_stream.core_exit.load() != 0) return 0;
  }
}

}  // namespace

int32_t default_transfer_depth(int64_t bytes_per_second, int32_t packet_size, int32_t cover_us) {
  if (bytes_per_second <= 0 || packet_size <= 0) return kMinTransferDepth;
  const int64_t covered = bytes_per_second * cover_us / 1000000;
  const int64_t depth = (covered + packet_size - 1) / packet_size;
  return static_cast<int32_t>(std::clamp<int64_t>(depth, kMinTransferDepth, kMaxTransferDepth));
}

void set_transfer_depth_setting(bool input, int32_t depth) {
  g_depth_setting[input ? 1 : 0].store(depth);
}

int32_t transfer_depth_setting(bool input) {
  return g_depth_setting[input ? 1 : 0].load();
}

void set_transfer_realtime_setting(TransferRealtime choice) {
  g_realtime_setting.store(choice);
}

TransferRealtime transfer_realtime_setting() {
  return g_realtime_setting.load();
}

void set_transfer_depths(int32_t tx_depth, int32_t rx_depth) {
  g_depth[0].store(std::clamp(tx_depth, kMinTransferDepth, kMaxTransferDepth));
  g_depth[1].store(std::clamp(rx_depth, kMinTransferDepth, kMaxTransferDepth));
  g_period.fetch_add(1);
}

int32_t transfer_depth(bool input) {
  return g_depth[input ? 1 : 0].load();
}

bool wait_transfer_threads_idle(uint32_t timeout_ms) {
  const auto deadline = platform::CondVar::Clock::now() + std::chrono::milliseconds(timeout_ms);
  platform::MutexLock hold(g_idle_mutex);
  while (g_busy[0] || g_busy[1]) {
    if (!g_idle_changed.wait_until(g_idle_mutex, deadline)) return !g_busy[0] && !g_busy[1];
  }
  return true;
}

bool wait_transfer_threads_primed(uint32_t timeout_ms) {
  const auto deadline = platform::CondVar::Clock::now() + std::chrono::milliseconds(timeout_ms);
  platform::MutexLock hold(g_idle_mutex);
  const auto primed = []() REQUIRES(g_idle_mutex) {
    const uint64_t period = g_period.load();
    return g_primed[0] >= period && g_primed[1] >= period;
  };
  while (!primed()) {
    if (!g_idle_changed.wait_until(g_idle_mutex, deadline)) return primed();
  }
  return true;
}

bool stream_failure_unacknowledged() {
  return g_acknowledged_failures.load() != g_stream_failures.load();
}

void acknowledge_stream_failures() {
  g_acknowledged_failures.store(g_stream_failures.load());
}

uint32_t txthread(void *) {
  return transfer_thread(false);
}

uint32_t rxthread(void *) {
  return transfer_thread(true);
}

}  // namespace vexdaq
