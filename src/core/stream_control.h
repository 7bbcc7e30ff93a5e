// Starting and stopping the stream: the work of MSG_START and MSG_STOP, and the transfer size.
// Core thread only; the caller (dispatch_message) releases the poster afterwards.
#pragma once

#include <cstdint>

namespace vexdaq {

// Bytes per bulk transfer for one direction: the largest whole number of sample frames
// (count channels of bits / 8 bytes) that fits in 512 bytes. 0 when the direction has no
// channels or its samples are narrower than one byte. Pure.
int32_t usbio_packet_size(int32_t channel_count, int32_t sample_bits);

// MSG_START: marks both sides active, chooses each direction's transfer depth (the application's
// setting, else from the rate), reads the bus frame number, sets streaming, waits (at most
// 1500 ms) until the transfer threads have their transfers posted, and only then tells the device
// to start, so the first frames find reads waiting. Does nothing beyond its log line while the
// stream already runs or once a close has begun (session_token 0).
void usbio_stream_start();

// MSG_STOP: when streaming, clears streaming, tells the device to stop, waits (1500 ms at most,
// skipped for a device that is gone) for the transfer threads to collect their transfers, marks
// both sides inactive and empties the channel FIFOs. Then, streaming or not, aborts and resets
// the data pipes in order, waits again (1500 ms at most) until the threads are idle and, when
// every pipe was reset, clears core_failed.
void usbio_stream_stop();

// The rates last sent to the device (the rate request), from which the transfer depth follows.
// Core thread.
void remember_sample_rates(int32_t in_rate, int32_t out_rate);

}  // namespace vexdaq
