// Moving samples between the application's buffers and the channel FIFOs: the work of
// vexdaq_send_data, vexdaq_recv_data, vexdaq_send_all_data and vexdaq_recv_all_data.
//
// Application threads, any number at once. Each look at the FIFOs takes the direction's lock,
// releases it, then reads core_failed under message_lock; the move itself is a second
// acquisition of the direction's lock. A request moves whole or not at all.
//
// Results: bytes moved (count * sample bytes, count = bytes / sample bytes); `bytes` itself when
// the direction has no channels; 0 when nothing was moved (channel disabled or outside 0..63,
// direction inactive for the single-channel calls, no channel enabled for the all-channel calls,
// not enough room or data without blocking, or a blocking request that can never be met: more
// samples than a FIFO holds, or an enabled channel without a FIFO); -1 without a session, with
// core_failed set (logged), for a negative byte count or for a null buffer.
//
// blocking == 1 waits, without spinning, until the request fits, the direction stops being
// active (single-channel calls) or no channel is enabled (all-channel calls), or core_failed is
// set, or the session is closed under it (then -1, like every call a close releases). Never holds
// a library lock while waiting.
#pragma once

#include <cstdint>

namespace vexdaq {

int32_t stream_send_data(int32_t channel, const uint8_t *source, int32_t bytes, int32_t blocking);
int32_t stream_recv_data(int32_t channel, uint8_t *destination, int32_t bytes, int32_t blocking);
// The same block of samples to every enabled output channel, all channels or none.
int32_t stream_send_all_data(const uint8_t *source, int32_t bytes, int32_t blocking);
// Channel c's samples into the block at destination + c * bytes, for every enabled input channel
// (the buffer holds channel count * bytes bytes; blocks of other channels are not written).
int32_t stream_recv_all_data(uint8_t *destination, int32_t bytes, int32_t blocking);
// The block at source + c * bytes to output channel c, for every enabled output channel, all
// channels or none: the channels' samples enter their FIFOs under one acquisition of the lock,
// so the tx thread never packs a frame that has one channel's new sample and not another's.
int32_t stream_send_channel_blocks(const uint8_t *source, int32_t bytes, int32_t blocking);

}  // namespace vexdaq
