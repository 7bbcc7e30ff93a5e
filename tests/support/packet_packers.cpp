#include "support/packet_packers.h"

#include "stream/channel_tables.h"
#include "stream/packing.h"

namespace vexdaq {

namespace {

void pack_one(int32_t sample_bytes, uint8_t *packet, int32_t size) {
  if (packet == nullptr || size <= 0) return;
  const PacketLayout layout{channel_limit(false), sample_bytes, size};
  pack_packets(layout, &packet, 1);
}

void unpack_one(int32_t sample_bytes, const uint8_t *packet, int32_t size) {
  if (packet == nullptr || size <= 0) return;
  // An unpacker reads the bytes the packet holds, whatever the period's packet size: the
  // layout's size need only be a valid one.
  const int32_t count = channel_limit(true);
  const PacketLayout layout{count, sample_bytes, count * sample_bytes};
  unpack_packets(layout, &packet, &size, 1);
}

}  // namespace

void tx_pack16(uint8_t *packet, int32_t size) {
  pack_one(2, packet, size);
}
void tx_pack24(uint8_t *packet, int32_t size) {
  pack_one(3, packet, size);
}
void tx_pack32(uint8_t *packet, int32_t size) {
  pack_one(4, packet, size);
}

void rx_unpack16(const uint8_t *packet, int32_t size) {
  unpack_one(2, packet, size);
}
void rx_unpack24(const uint8_t *packet, int32_t size) {
  unpack_one(3, packet, size);
}
void rx_unpack32(const uint8_t *packet, int32_t size) {
  unpack_one(4, packet, size);
}

PackFunction select_tx_packer(int32_t channel_count, int32_t sample_bits) {
  if (channel_count <= 0) return nullptr;
  switch (sample_bits) {
    case 16:
      return tx_pack16;
    case 24:
      return tx_pack24;
    case 32:
      return tx_pack32;
    default:
      return nullptr;
  }
}

UnpackFunction select_rx_unpacker(int32_t channel_count, int32_t sample_bits) {
  if (channel_count <= 0) return nullptr;
  switch (sample_bits) {
    case 16:
      return rx_unpack16;
    case 24:
      return rx_unpack24;
    case 32:
      return rx_unpack32;
    default:
      return nullptr;
  }
}

}  // namespace vexdaq
