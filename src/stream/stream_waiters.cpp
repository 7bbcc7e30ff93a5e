#include "stream/stream_waiters.h"

#include <atomic>

#include "platform/sync.h"
#include "stream/channel_tables.h"
#include "stream/stream_signal.h"
#include "stream/stream_state.h"

namespace vexdaq {

namespace {

// An eventcount: waiters sleep until the epoch moves past the value they saw before looking at
// the state. The waiter count lets the per-packet wake-up skip the epoch when nobody waits; it is
// raised before the waiter's first look, so a notifier that changed the state after that look
// (ordered by the lock both take) always sees it.
//
// The epoch is a futex word on Linux, without a mutex: the transfer threads wake the waiters after
// every batch, at a real-time priority, and a mutex shared with application threads would let
// one of them, preempted while holding it, keep the rx thread from re-posting its reads until the
// machine's other work lets it run again. A wrap of the epoch between a waiter's look and its
// wait would take 2^32 wake-ups.
std::atomic<int32_t> g_waiters{0};
platform::WaitWord g_epoch;

WaitNeed *g_out_needs GUARDED_BY(g_stream.out_lock) = nullptr;
WaitNeed *g_in_needs GUARDED_BY(g_stream.in_lock) = nullptr;

// The caller holds the direction's lock (picked at run time, where the analysis cannot follow).
WaitNeed *&needs_of(bool input) {
  return input ? g_in_needs : g_out_needs;
}

std::atomic<uint64_t> g_stops{0};

bool met(bool input, const WaitNeed &need) {
  const ChannelSlot *channels = channel_table(input);
  const int32_t size = sample_bytes(input);
  if (need.channel != kAllEnabledChannels) {
    if (need.channel < 0 || need.channel >= kMaxChannels) return false;
    return movable_samples(channels[need.channel].fifo, input, size) >= need.count;
  }
  const int32_t count = channel_limit(input);
  for (int32_t c = 0; c < count; ++c) {
    if (channels[c].enabled == 1 && movable_samples(channels[c].fifo, input, size) < need.count) {
      return false;
    }
  }
  return true;
}

}  // namespace

int32_t movable_samples(const fifo_record *fifo, bool input, int32_t sample_size) {
  if (fifo == nullptr || fifo->item_size != sample_size) return -1;
  return input ? fifo->capacity - fifo->free_count : fifo->free_count;
}

void add_wait_need(bool input, WaitNeed *need) {
  WaitNeed *&head = needs_of(input);
  need->next = head;
  head = need;
}

void remove_wait_need(bool input, WaitNeed *need) {
  for (WaitNeed **at = &needs_of(input); *at != nullptr; at = &(*at)->next) {
    if (*at == need) {
      *at = need->next;
      need->next = nullptr;
      return;
    }
  }
}

bool wait_need_met(bool input) {
  for (const WaitNeed *need = needs_of(input); need != nullptr; need = need->next) {
    if (met(input, *need)) return true;
  }
  return false;
}

void wake_stream_waiters() {
  if (g_waiters.load(std::memory_order_seq_cst) == 0) return;
  g_epoch.advance();
}

void notify_stream_waiters() {
  wake_stream_waiters();
  stream_state_changed();
}

StreamWait::StreamWait() {
  g_waiters.fetch_add(1, std::memory_order_seq_cst);
}

StreamWait::~StreamWait() {
  g_waiters.fetch_sub(1, std::memory_order_seq_cst);
}

void StreamWait::arm() {
  seen_ = g_epoch.load();
}

void StreamWait::wait() {
  g_epoch.wait_while(seen_);
}

uint64_t stream_stop_count() {
  return g_stops.load();
}

void count_stream_stop() {
  g_stops.fetch_add(1);
  notify_stream_waiters();
}

int32_t stream_waiter_count() {
  return g_waiters.load();
}

}  // namespace vexdaq
