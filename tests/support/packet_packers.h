// One packet at a time through the library's packers, with the session's current channel count:
// the form the packing tests drive. The library itself only moves batches (pack_packets,
// unpack_packets in stream/packing.h) with a layout read once per streaming period.
#pragma once

#include <cstdint>

namespace vexdaq {

using PackFunction = void (*)(uint8_t *packet, int32_t size);
using UnpackFunction = void (*)(const uint8_t *packet, int32_t size);

// The packet must have been zeroed by the caller: positions the packer does not write (disabled
// channels, FIFOs run dry) stay zero. size is the packet's byte count.
void tx_pack16(uint8_t *packet, int32_t size);
void tx_pack24(uint8_t *packet, int32_t size);
void tx_pack32(uint8_t *packet, int32_t size);

// size is the number of packet bytes that hold samples; a trailing partial frame is ignored.
void rx_unpack16(const uint8_t *packet, int32_t size);
void rx_unpack24(const uint8_t *packet, int32_t size);
void rx_unpack32(const uint8_t *packet, int32_t size);

// The packer or unpacker for a channel count and sample width; null when there is none (a count
// of 0 or less, or a width other than 16, 24 and 32 bits).
PackFunction select_tx_packer(int32_t channel_count, int32_t sample_bits);
UnpackFunction select_rx_unpacker(int32_t channel_count, int32_t sample_bits);

}  // namespace vexdaq
