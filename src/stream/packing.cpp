#include "stream/packing.h"

#include <algorithm>
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

// The channels that take part in this packet, in channel order. Caller holds the lock.
int32_t enabled_channels(const ChannelSlot *channels, int32_t count,
                         int32_t (&list)[kMaxChannels]) {
  int32_t enabled = 0;
  for (int32_t c = 0; c < count; ++c) {
    if (channels[c].enabled == 1) list[enabled++] = c;
  }
  return enabled;
}

// Copies n samples between consecutive slots and every stride-th packet position.
template <int32_t kSize>
void copy_out(const uint8_t *slots, uint8_t *&to, size_t stride, int32_t n) {
  for (int32_t j = 0; j < n; ++j, slots += kSize, to += stride) std::memcpy(to, slots, kSize);
}
template <int32_t kSize>
void copy_in(uint8_t *slots, const uint8_t *&from, size_t stride, int32_t n) {
  for (int32_t j = 0; j < n; ++j, slots += kSize, from += stride) std::memcpy(slots, from, kSize);
}

// Takes up to `frames` samples from the FIFO into every stride-th packet position: the effect
// of `frames` fifo_read_one calls, each into a zeroed sample. Returns the samples taken.
template <int32_t kSize>
int32_t take_samples(fifo_record &fifo, uint8_t *to, size_t stride, int32_t frames) {
  const int32_t taken = std::min(frames, fifo_stored(fifo));
  if (taken <= 0) return 0;
  const int32_t read = fifo.read_index;
  // The run up to the ring's end, then the rest from its start: no wrap test per sample.
  const int32_t first = fifo_run_before_end(read, taken, fifo.capacity);
  copy_out<kSize>(fifo.storage + static_cast<size_t>(read) * kSize, to, stride, first);
  copy_out<kSize>(fifo.storage, to, stride, taken - first);
  fifo.read_index = fifo_slot_after(read, taken, fifo.capacity);
  fifo_note_taken(fifo, taken);
  return taken;
}

// Stores `frames` samples taken from every stride-th packet position: the effect of `frames`
// overwriting fifo_write_one calls. Returns how many stored samples were overwritten (or, for a
// FIFO of capacity 0, dropped).
template <int32_t kSize>
int32_t store_samples(fifo_record &fifo, const uint8_t *from, size_t stride, int32_t frames) {
  const int32_t capacity = fifo.capacity;
  if (capacity <= 0) {
    fifo_add_overrun(fifo, frames);
    return frames;
  }
  // Samples that a later sample of the same packet overwrites again never need their bytes.
  const int32_t skipped = frames > capacity ? frames - capacity : 0;
  // No division in the common case: the packet's samples fit the ring.
  const int32_t write = skipped == 0
                            ? fifo.write_index
                            : fifo_slot_after(fifo.write_index, skipped % capacity, capacity);
  from += stride * static_cast<size_t>(skipped);
  const int32_t stored = frames - skipped;
  const int32_t first = fifo_run_before_end(write, stored, capacity);
  copy_in<kSize>(fifo.storage + static_cast<size_t>(write) * kSize, from, stride, first);
  copy_in<kSize>(fifo.storage, from, stride, stored - first);
  fifo.write_index = fifo_slot_after(write, stored, capacity);
  return fifo_note_overwriting_store(fifo, frames);  // a full ring keeps the newest samples
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

void forget_missing_fifo_warnings(bool input) {
  reported_missing(input) = 0;
}

}  // namespace vexdaq
