// The two 64-slot channel tables and their sample FIFOs: sizing, disposal and channel masks.
//
// Application threads; each function takes out_lock and then in_lock, one at a time, never both,
// and never while posting a message. Results are those of the exports that wrap them.
#pragma once

#include <atomic>
#include <cstdint>

#include "stream/stream_state.h"

namespace vexdaq {

// The direction's channel count as a table bound: the device's value limited to 0..64, so no
// table loop can leave the 64 slots whatever the device reported.
int32_t channel_limit(bool input);

// Bytes per sample of the direction (bits / 8); 0 or less for a width the device should not
// report.
int32_t sample_bytes(bool input);

// The direction's lock, table and active flag.
platform::Mutex &direction_lock(bool input);
ChannelSlot *channel_table(bool input);
std::atomic<uint8_t> &direction_active(bool input);

// Gives every used slot of each inactive direction a new, empty FIFO of the given capacity (the
// previous FIFO, if any, is deleted first) and disables it. Returns 0; -1 without a session, with
// core_failed set, or when a FIFO cannot be created (then every FIFO this call made is deleted
// again); -2 when a sample width is 0. A direction that is streaming is left untouched.
int32_t create_channel_buffers(int32_t out_samples, int32_t in_samples);

// Stops streaming (a synchronous MSG_STOP) and deletes every FIFO of both tables. 0, or -1
// without a session or when the stop could not be carried out (the core is gone; nothing is
// deleted). The enabled flags stay.
int32_t dispose_channel_buffers();

// Enables exactly the used channels whose bit is set and empties every used channel's FIFO.
// 0, or -1 without a session. Bits at or above the channel count are ignored.
int32_t set_channel_mask(bool input, uint64_t mask);

}  // namespace vexdaq
