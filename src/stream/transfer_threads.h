// The two stream threads: txthread moves the enabled output FIFOs to the tx pipe, rxthread the
// rx pipe into the enabled input FIFOs. Created by the core thread at start-up; each runs until
// it sees core_exit while idle.
//
// A streaming period begins when the core sets `streaming` (after set_transfer_depths) and ends
// when it clears it. At the start of its period a thread reads the direction's layout (channel
// count, width, packet size) and depth once, posts `depth` transfers on slots 0..depth-1 and from
// then on refills each slot, in turn, as soon as its transfer completes, so `depth` transfers
// stay in flight. Completed slots found together are handled together: one lock acquisition for
// all their packets. The thread owns its slots' events: nobody else waits on them.
//
// End of a period: once the thread sees `streaming` clear (after the device's stop completed the
// transfers in flight, or at its next completion) it collects every transfer still outstanding,
// waiting at most 1500 ms in all before it cancels the pipe, and then reports idle
// (wait_transfer_threads_idle). A transfer that does not complete within 1500 ms while the period
// runs, completes with an error, or cannot be started fails the stream: last_status, the failure
// line, core_failed under message_lock, the pipe cancelled (so nothing stays outstanding), idle
// reported, then a synchronous MSG_STOP. No wait of these threads wakes periodically: idle they
// sleep on the stream signal (stream_signal.h), streaming on a slot's event.
#pragma once

#include <cstdint>

namespace vexdaq {

uint32_t txthread(void *unused);
uint32_t rxthread(void *unused);

// Transfers kept in flight per direction. The device's wire protocol is unchanged (one packet per
// transfer); more of them queued only means the host has more slack before the device's FIFO
// fills: at 20 MB/s one 512-byte packet lasts 25 us.
inline constexpr int32_t kMinTransferDepth = 4;
inline constexpr int32_t kMaxTransferDepth = 4096;  // = kSlotCount
// The default covers this much of the stream with posted transfers, within the bounds above: a
// loaded machine, or a virtual machine whose host takes its processor away, can keep even a
// real-time thread from running for some milliseconds, and a thread the real-time class was
// refused to (an ordinary user) waits tens of them behind other programs (measured: 80 ms beside
// two busy loops on two cores).
inline constexpr int32_t kTransferCoverUs = 100000;
// The output's default stays short: its posted transfers are what the device plays next, so
// their length is the output's latency (and, at the start, zeros ahead of the first samples an
// application sends after vexdaq_start); an output that runs dry is counted (zero_filled).
inline constexpr int32_t kOutputTransferCoverUs = 8000;

// The default depth for a stream of bytes_per_second in packets of packet_size bytes: enough to
// cover cover_us, at least kMinTransferDepth, at most kMaxTransferDepth. Pure.
int32_t default_transfer_depth(int64_t bytes_per_second, int32_t packet_size,
                               int32_t cover_us = kTransferCoverUs);

// The application's choice (vexdaq_set_transfer_depth): 0 for the default, else 4..4096. Process
// wide, kept across sessions; takes effect at the next start. Any thread.
void set_transfer_depth_setting(bool input, int32_t depth);
int32_t transfer_depth_setting(bool input);

// The application's choice (vexdaq_set_transfer_realtime): whether the transfer threads ask for
// a real-time scheduling class (SCHED_FIFO 10) from the next start on, where the system allows
// it. Automatic by default: real time while the device paces its streams (every real device),
// not for a free-running virtual instrument, whose transfers complete at once: a thread serving
// it never blocks, and at a real-time priority it would take a whole processor.
// Process wide, kept across sessions. Any thread.
enum class TransferRealtime : int32_t { kOff = 0, kOn = 1, kAutomatic = 2 };
void set_transfer_realtime_setting(TransferRealtime choice);
TransferRealtime transfer_realtime_setting();

// CORE THREAD, before setting `streaming`: the depths the next period uses (clamped to 4..4096).
void set_transfer_depths(int32_t tx_depth, int32_t rx_depth);
// The depth of the current (or last) period; any thread.
int32_t transfer_depth(bool input);

// CORE THREAD, after setting `streaming`: blocks until both threads have posted the transfers of
// the new period (or have nothing to post), or timeout_ms has passed. True when both have.
bool wait_transfer_threads_primed(uint32_t timeout_ms);

// CORE THREAD, after clearing `streaming`: blocks until neither thread has a transfer of the
// period outstanding, or timeout_ms has passed (measured on the monotonic clock). True when both
// are idle. Takes no library lock.
bool wait_transfer_threads_idle(uint32_t timeout_ms);

// A stream that a transfer failure ended stays failed for the data calls until the application
// has seen it: the core clears core_failed as soon as it has stopped the stream, and a call made
// after that would take the idle stream for an ordinary stop and report nothing moved (or, for
// the all-channel calls, wait for ever). A new streaming period or the application's stop
// acknowledges the failure; so does a new session.
bool stream_failure_unacknowledged();
void acknowledge_stream_failures();

}  // namespace vexdaq
