#include "stream/packing.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "device/device_state.h"
#include "platform/sync.h"
#include "session/fifo.h"
#include "session/log.h"
#include "stream/channel_tables.h"
#include "stream/loss_counters.h"
#include "stream/stream_state.h"
#include "stream/stream_waiters.h"

namespace vexdaq {

namespace {

// Channels already reported as lacking a usable FIFO this streaming period, per direction.
uint64_t g_out_reported_missing GUARDED_BY(g_stream.out_lock) = 0;
uint64_t g_in_reported_missing GUARDED_BY(g_stream.in_lock) = 0;

// The caller holds the direction's lock (picked at run time, where the analysis cannot follow).
uint64_t &reported_missing(bool input) {
  return input ? g_in_reported_missing : g_out_reported_missing;
}

// A FIFO the packet's samples can go through: present and holding items of the packet's width.
// A FIFO made for another width (the device changed its answer since) would copy past the
// sample, so it is treated like a missing one.
bool usable(const fifo_record *fifo, int32_t sample_size) {
  return fifo != nullptr && fifo->item_size == sample_size;
}

void report_missing(bool input, int32_t channel, const fifo_record *fifo) {
  const uint64_t bit = uint64_t{1} << channel;
  uint64_t &reported = reported_missing(input);
  if ((reported & bit) != 0) return;
  reported |= bit;
  if (fifo == nullptr) {
    if (input) {
      log_print(LogLevel::kEntry, "<fifo_write_one> fifo_handle (0x%p) is null\r\n", fifo);
    } else {
      log_print(LogLevel::kEntry, "<fifo_read_one> fifo_handle (0x%p) is null\r\n", fifo);
    }
  } else {
    log_print(LogLevel::kEntry,
              "channel %d: fifo_handle (0x%p) holds %d-byte items, not samples of the stream\r\n",
              channel, fifo, fifo->item_size);
  }
}

int32_t saturating_add(int32_t a, int32_t b) {
  return a > INT32_MAX - b ? INT32_MAX : a + b;
}

// The channels that take part in this packet, in channel order. Caller holds the lock.
int32_t enabled_channels(const ChannelSlot *channels, int32_t count,
                         int32_t (&list)[kMaxChannels]) {
  int32_t enabled = 0;
  for (int32_t c = 0; c < count; ++c) {
    if (channels[c].enabled == 1) list[enabled++] = c;
  }
  return enabled;
}

// Takes up to `frames` samples from the FIFO into every stride-th packet position: the effect
// of `frames` fifo_read_one calls, each into a zeroed sample. Returns the samples taken.
template <int32_t kSize>
int32_t take_samples(fifo_record &fifo, uint8_t *to, size_t stride, int32_t frames) {
  const int32_t stored = fifo.capacity - fifo.free_count;
  const int32_t taken = std::min(frames, stored);
  if (taken <= 0) return 0;
  int32_t read = fifo.read_index;
  const uint8_t *storage = fifo.storage;
  for (int32_t j = 0; j < taken; ++j) {
    std::memcpy(to, storage + static_cast<size_t>(read) * kSize, kSize);
    to += stride;
    if (++read == fifo.capacity) read = 0;
  }
  fifo.read_index = read;
  fifo.free_count += taken;
  fifo.overrun_count = std::max(fifo.overrun_count - taken, 0);
  return taken;
}

// Stores `frames` samples taken from every stride-th packet position: the effect of `frames`
// overwriting fifo_write_one calls. Returns how many stored samples were overwritten (or, for a
// FIFO of capacity 0, dropped).
template <int32_t kSize>
int32_t store_samples(fifo_record &fifo, const uint8_t *from, size_t stride, int32_t frames) {
  const int32_t capacity = fifo.capacity;
  if (capacity <= 0) {
    fifo.overrun_count = saturating_add(fifo.overrun_count, frames);
    return frames;
  }
  // Samples that a later sample of the same packet overwrites again never need their bytes.
  const int32_t skipped = frames > capacity ? frames - capacity : 0;
  int32_t write = fifo.write_index;
  if (skipped > 0) {
    write = static_cast<int32_t>((static_cast<int64_t>(write) + skipped) % capacity);
  }
  from += stride * static_cast<size_t>(skipped);
  uint8_t *storage = fifo.storage;
  for (int32_t j = skipped; j < frames; ++j) {
    std::memcpy(storage + static_cast<size_t>(write) * kSize, from, kSize);
    from += stride;
    if (++write == capacity) write = 0;
  }
  fifo.write_index = write;
  const int32_t lost = frames > fifo.free_count ? frames - fifo.free_count : 0;
  fifo.free_count -= frames - lost;
  if (lost > 0) {
    fifo.overrun_count = saturating_add(fifo.overrun_count, lost);
    fifo.read_index = write;  // a full ring keeps the newest `capacity` samples
  }
  return lost;
}

template <int32_t kSize>
void pack_locked(uint8_t *packet, int32_t size, int32_t count) REQUIRES(g_stream.out_lock) {
  if (count <= 0 || count > kMaxChannels) return;
  const int32_t frames = (size / kSize) / count;
  if (frames <= 0) return;
  const size_t stride = static_cast<size_t>(count) * kSize;
  int32_t list[kMaxChannels];
  const int32_t enabled = enabled_channels(g_stream.out_channels, count, list);
  for (int32_t e = 0; e < enabled; ++e) {
    const int32_t c = list[e];
    fifo_record *fifo = g_stream.out_channels[c].fifo;
    vexdaq_loss_counters &loss = g_out_loss.channels[c];
    int32_t taken = 0;
    if (usable(fifo, kSize)) {
      taken = take_samples<kSize>(*fifo, packet + static_cast<size_t>(c) * kSize, stride, frames);
    } else {
      report_missing(false, c, fifo);
    }
    loss.moved += static_cast<uint64_t>(taken);
    loss.zero_filled += static_cast<uint64_t>(frames - taken);
  }
}

template <int32_t kSize>
void pack(uint8_t *packet, int32_t size) {
  if (packet == nullptr || size <= 0) return;
  bool wake = false;
  {
    platform::MutexLock hold(g_stream.out_lock);
    pack_locked<kSize>(packet, size, channel_limit(false));
    wake = wait_need_met(false);
  }
  if (wake) wake_stream_waiters();
}

template <int32_t kSize>
void pack_batch(int32_t count, uint8_t *const *packets, int32_t size, int32_t n) {
  bool wake = false;
  {
    platform::MutexLock hold(g_stream.out_lock);
    for (int32_t i = 0; i < n; ++i) pack_locked<kSize>(packets[i], size, count);
    wake = wait_need_met(false);
  }
  if (wake) wake_stream_waiters();
}

// Channel by channel, each over every packet of the batch: with many channels a packet holds
// only a frame or two, and the work per channel (its FIFO record, its counters) would otherwise
// be paid per packet. Each channel's samples still go in packet order; the channels are
// independent of each other.
template <int32_t kSize>
void unpack_batch(int32_t count, const uint8_t *const *packets, const int32_t *sizes, int32_t n) {
  if (count <= 0 || count > kMaxChannels) return;
  const size_t stride = static_cast<size_t>(count) * kSize;
  bool wake = false;
  {
    platform::MutexLock hold(g_stream.in_lock);
    int32_t frames = 0;
    for (int32_t i = 0; i < n; ++i) frames += std::max(sizes[i], 0) / kSize / count;
    int32_t list[kMaxChannels];
    const int32_t enabled = enabled_channels(g_stream.in_channels, count, list);
    for (int32_t e = 0; e < enabled && frames > 0; ++e) {
      const int32_t c = list[e];
      fifo_record *fifo = g_stream.in_channels[c].fifo;
      vexdaq_loss_counters &loss = g_in_loss.channels[c];
      loss.moved += static_cast<uint64_t>(frames);
      if (!usable(fifo, kSize)) {
        report_missing(true, c, fifo);
        loss.dropped += static_cast<uint64_t>(frames);
        continue;
      }
      int32_t lost = 0;
      for (int32_t i = 0; i < n; ++i) {
        const int32_t packet_frames = std::max(sizes[i], 0) / kSize / count;
        if (packet_frames <= 0) continue;
        lost += store_samples<kSize>(*fifo, packets[i] + static_cast<size_t>(c) * kSize, stride,
                                     packet_frames);
      }
      loss.overwritten += static_cast<uint64_t>(lost);
    }
    wake = wait_need_met(true);
  }
  if (wake) wake_stream_waiters();
}

template <int32_t kSize>
void unpack(const uint8_t *packet, int32_t size) {
  if (packet == nullptr || size <= 0) return;
  unpack_batch<kSize>(channel_limit(true), &packet, &size, 1);
}

}  // namespace

PacketLayout current_layout(bool input) {
  PacketLayout layout;
  layout.channel_count = channel_limit(input);
  const int32_t bits = input ? g_device.in_sample_bits.load() : g_device.out_sample_bits.load();
  layout.sample_bytes = (bits == 16 || bits == 24 || bits == 32) ? bits / 8 : 0;
  const int32_t size = input ? g_device.in_packet_size.load() : g_device.out_packet_size.load();
  layout.packet_size = std::clamp(size, 0, 512);
  return layout;
}

bool valid(const PacketLayout &layout) {
  return layout.channel_count > 0 && layout.channel_count <= kMaxChannels &&
         layout.sample_bytes >= 2 && layout.sample_bytes <= 4 &&
         layout.packet_size >= layout.channel_count * layout.sample_bytes;
}

void pack_packets(const PacketLayout &layout, uint8_t *const *packets, int32_t n) {
  if (!valid(layout) || n <= 0) return;
  switch (layout.sample_bytes) {
    case 2:
      return pack_batch<2>(layout.channel_count, packets, layout.packet_size, n);
    case 3:
      return pack_batch<3>(layout.channel_count, packets, layout.packet_size, n);
    default:
      return pack_batch<4>(layout.channel_count, packets, layout.packet_size, n);
  }
}

void unpack_packets(const PacketLayout &layout, const uint8_t *const *packets, const int32_t *sizes,
                    int32_t n) {
  if (!valid(layout) || n <= 0) return;
  switch (layout.sample_bytes) {
    case 2:
      return unpack_batch<2>(layout.channel_count, packets, sizes, n);
    case 3:
      return unpack_batch<3>(layout.channel_count, packets, sizes, n);
    default:
      return unpack_batch<4>(layout.channel_count, packets, sizes, n);
  }
}

void tx_pack16(uint8_t *packet, int32_t size) {
  pack<2>(packet, size);
}
void tx_pack24(uint8_t *packet, int32_t size) {
  pack<3>(packet, size);
}
void tx_pack32(uint8_t *packet, int32_t size) {
  pack<4>(packet, size);
}

void rx_unpack16(const uint8_t *packet, int32_t size) {
  unpack<2>(packet, size);
}
void rx_unpack24(const uint8_t *packet, int32_t size) {
  unpack<3>(packet, size);
}
void rx_unpack32(const uint8_t *packet, int32_t size) {
  unpack<4>(packet, size);
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

void forget_missing_fifo_warnings(bool input) {
  reported_missing(input) = 0;
}

}  // namespace vexdaq
