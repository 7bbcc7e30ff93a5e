#include "stream/stream_state.h"

#include "session/session_state.h"
#include "stream/stream_signal.h"
#include "stream/stream_waiters.h"

namespace vexdaq {

StreamState g_stream;

void set_streaming(bool on) {
  g_stream.streaming.value_.store(on ? 1 : 0);
  notify_stream_waiters();
}

void set_core_failed(bool failed) {
  {
    const platform::MutexLock hold(g_session.message_lock);
    g_stream.core_failed.value_.store(failed ? 1 : 0);
  }
  notify_stream_waiters();
}

void set_core_exit(bool exit) {
  g_stream.core_exit.value_.store(exit ? 1 : 0);
  notify_stream_waiters();  // the idle transfer threads sleep until told
}

void open_transfer_slots() {
  for (int k = 0; k < kSlotCount; ++k) {
    for (XferSlot *slot : {&g_stream.tx_slots[k], &g_stream.rx_slots[k]}) {
      slot->overlapped.event = platform::create_event(false);
      slot->overlapped.internal.store(0);
      slot->overlapped.internal_high.store(0);
    }
  }
}

void close_transfer_slots() {
  for (int k = 0; k < kSlotCount; ++k) {
    g_stream.tx_slots[k].overlapped.event.reset();
    g_stream.rx_slots[k].overlapped.event.reset();
  }
}

}  // namespace vexdaq
