// Packers and unpackers: the stream packet layout.
//
// A packet is a run of frames; a frame holds one sample of every channel of the direction, in
// channel order, disabled channels included (their place carries zero on the way out and is
// skipped on the way in). Sample c of frame j starts at byte (j * n + c) * sample_bytes, n being
// the direction's channel count; samples are little-endian, 24-bit ones three packed bytes, and
// pass between packet and FIFO byte for byte. frames = (size / sample_bytes) / n.
//
// Packing fills packets from the enabled output FIFOs under out_lock; unpacking spreads packets
// over the enabled input FIFOs under in_lock. Both take the lock themselves (once per batch of
// packets), allocate nothing and update the loss counters (loss_counters.h). They move each
// channel's samples as one block, with exactly the FIFO results of one fifo_read_one (packing) or
// one overwriting fifo_write_one (unpacking) per sample, only without a call per sample.
#pragma once

#include <cstdint>

namespace vexdaq {

// One streaming period's view of a direction, read once when the period begins: a channel count
// or width changed by a query on another thread meanwhile does not re-map the packets in flight.
struct PacketLayout {
  int32_t channel_count = 0;  // 1..64
  int32_t sample_bytes = 0;   // 2, 3 or 4
  int32_t packet_size = 0;    // bytes per transfer, whole frames, at most 512
};

// The direction's layout now (channel_limit, sample_bytes, packet size bounded to 512 bytes);
// valid() is false when there is nothing to move (no channels, a width other than 16, 24, 32,
// or no packet). Any thread; reads atomics only.
PacketLayout current_layout(bool input);
bool valid(const PacketLayout &layout);

// Fills (tx) or spreads (rx) n packets under ONE acquisition of the direction's lock, with the
// layout given rather than the session's current counts, then wakes the data calls a packet may
// have satisfied. sizes[i] is the packet's byte count (for rx, the bytes the read delivered; a
// trailing partial frame is ignored). tx packets must have been zeroed by the caller. Transfer
// threads only; no library lock held.
void pack_packets(const PacketLayout &layout, uint8_t *const *packets, int32_t n);
void unpack_packets(const PacketLayout &layout, const uint8_t *const *packets, const int32_t *sizes,
                    int32_t n);

// An enabled channel without a usable FIFO is reported in the log once per streaming period, not
// once per sample (which would flood the log at the stream rate). This clears the record of
// which channels were reported. Caller holds the direction's lock.
void forget_missing_fifo_warnings(bool input);

}  // namespace vexdaq
