// The two stream threads: txthread moves the enabled output FIFOs to the tx pipe, rxthread the
// rx pipe into the enabled input FIFOs. Created by the core thread at start-up; each runs until
// it sees core_exit while idle.
//
// While `streaming` is set each keeps four overlapped transfers in flight, slots 0..3 in turn,
// reusing a slot only once its event says the previous transfer completed. A slot that does not
// complete within 1500 ms stores the thread's last error in last_status, logs the failure line,
// sets core_failed under message_lock and posts a synchronous MSG_STOP; the thread then idles.
// While idle (and while streaming without channels) a thread sleeps on the stream signal
// (stream_signal.h), so the core must call stream_state_changed() after changing `streaming`
// or setting `core_exit`.
#pragma once

#include <cstdint>

namespace vexdaq {

uint32_t txthread(void *unused);
uint32_t rxthread(void *unused);

// A stream that a transfer failure ended stays failed for the data calls until the application
// has seen it: the core clears core_failed as soon as it has stopped the stream, and a call made
// after that would take the idle stream for an ordinary stop and report nothing moved (or, for
// the all-channel calls, wait for ever). A new streaming period or the application's stop
// acknowledges the failure; so does a new session.
bool stream_failure_unacknowledged();
void acknowledge_stream_failures();

}  // namespace vexdaq
