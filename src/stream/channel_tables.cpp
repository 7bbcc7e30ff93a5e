#include "stream/channel_tables.h"

#include <algorithm>

#include "platform/sync.h"
#include "session/fifo.h"
#include "session/message_queue.h"
#include "stream/packing.h"
#include "stream/stream_waiters.h"

namespace vexdaq {

namespace {

// Deletes every FIFO of the table. All 64 slots, not only the used ones: a channel count that
// shrank since the FIFOs were made must not leak them. Caller holds the direction's lock.
void delete_fifos(ChannelSlot *channels) {
  for (int32_t i = 0; i < kMaxChannels; ++i) {
    if (channels[i].fifo != nullptr) {
      fifo_delete(channels[i].fifo);
      channels[i].fifo = nullptr;
    }
  }
}

struct Creation {
  bool touched = false;  // the direction was inactive, so its table was rebuilt
  bool failed = false;
};

Creation create_direction(bool input, int32_t samples) {
  Creation result;
  platform::MutexLock hold(direction_lock(input));
  if (direction_active(input).load() != 0) return result;
  result.touched = true;
  ChannelSlot *channels = channel_table(input);
  const int32_t count = channel_limit(input);
  const int32_t item_size = sample_bytes(input);
  for (int32_t i = 0; i < count; ++i) {
    ChannelSlot &slot = channels[i];
    slot.channel = i;
    slot.direction = input ? 1 : 0;
    slot.enabled = 0;
    if (slot.fifo != nullptr) fifo_delete(slot.fifo);
    slot.fifo = fifo_create(samples, item_size);
    if (slot.fifo == nullptr) result.failed = true;
  }
  forget_missing_fifo_warnings(input);
  return result;
}

void roll_back(bool input) {
  platform::MutexLock hold(direction_lock(input));
  delete_fifos(channel_table(input));
}

}  // namespace

int32_t channel_limit(bool input) {
  const int32_t count =
      input ? g_device.in_channel_count.load() : g_device.out_channel_count.load();
  return std::clamp<int32_t>(count, 0, kMaxChannels);
}

int32_t sample_bytes(bool input) {
  return (input ? g_device.in_sample_bits.load() : g_device.out_sample_bits.load()) / 8;
}

platform::Mutex &direction_lock(bool input) {
  return input ? g_stream.in_lock : g_stream.out_lock;
}

ChannelSlot *channel_table(bool input) {
  return input ? g_stream.in_channels : g_stream.out_channels;
}

std::atomic<uint8_t> &direction_active(bool input) {
  return input ? g_stream.in_active : g_stream.out_active;
}

int32_t create_channel_buffers(int32_t out_samples, int32_t in_samples) {
  if (g_session.session_token.load() == 0) return -1;
  if (g_stream.core_failed.load() == 1) return -1;
  if (g_device.out_sample_bits.load() == 0 || g_device.in_sample_bits.load() == 0) return -2;

  const Creation out = create_direction(false, out_samples);
  const Creation in = create_direction(true, in_samples);
  int32_t result = 0;
  if (out.failed || in.failed) {
    // Nothing half-made survives; a direction left alone because it streams keeps its FIFOs.
    if (out.touched) roll_back(false);
    if (in.touched) roll_back(true);
    result = -1;
  }
  notify_stream_waiters();  // blocked data calls see their FIFOs gone
  return result;
}

int32_t dispose_channel_buffers() {
  if (g_session.session_token.load() == 0) return -1;
  // Without the stop carried out the FIFOs may still be streaming: none is deleted.
  // The stop ends the application's request too: a later rate change must not restart streaming
  // on channels that have no FIFO any more.
  if (post_message(MSG_STOP, kStopEndsRequest, 0, 0, nullptr) != 0) return -1;
  for (bool input : {false, true}) {
    platform::MutexLock hold(direction_lock(input));
    if (direction_active(input).load() == 0) delete_fifos(channel_table(input));
  }
  notify_stream_waiters();
  return 0;
}

int32_t set_channel_mask(bool input, uint64_t mask) {
  if (g_session.session_token.load() == 0) return -1;
  {
    platform::MutexLock hold(direction_lock(input));
    ChannelSlot *channels = channel_table(input);
    const int32_t count = channel_limit(input);
    for (int32_t i = 0; i < count; ++i) {
      channels[i].enabled = ((mask >> i) & 1u) != 0 ? 1 : 0;
      if (channels[i].fifo != nullptr) fifo_reset(channels[i].fifo);
    }
    forget_missing_fifo_warnings(input);
  }
  notify_stream_waiters();
  return 0;
}

}  // namespace vexdaq
