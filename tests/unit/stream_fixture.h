// A session set up by hand for the streaming unit tests: locks, a token, channel counts and
// widths, and no core or transfer threads. Everything goes back to its closed value afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "platform/sync.h"
#include "session/fifo.h"
#include "session/log.h"
#include "session/session_state.h"
#include "stream/loss_counters.h"
#include "stream/stream_state.h"
#include "support/test_support.h"

namespace vexdaq::testing {

class StreamSession : public ::testing::Test {
 protected:
  void SetUp() override {
    log_open();
    g_session.session_token.store(1);
  }

  void TearDown() override {
    clear_tables();
    g_out_loss = DirectionLoss{};
    g_in_loss = DirectionLoss{};
    g_device.out_channel_count.store(0);
    g_device.in_channel_count.store(0);
    g_device.out_sample_bits.store(0);
    g_device.in_sample_bits.store(0);
    g_device.out_packet_size.store(0);
    g_device.in_packet_size.store(0);
    g_stream.out_active.store(0);
    g_stream.in_active.store(0);
    set_streaming(false);
    set_core_failed(false);
    g_session.session_token.store(0);
    log_close();
  }

  static void clear_tables() {
    for (ChannelSlot *table : {g_stream.out_channels, g_stream.in_channels}) {
      for (int i = 0; i < kMaxChannels; ++i) {
        if (table[i].fifo != nullptr) fifo_delete(table[i].fifo);
        table[i] = ChannelSlot{};
      }
    }
  }

  static void device(int16_t out_count, int16_t out_bits, int16_t in_count, int16_t in_bits) {
    g_device.out_channel_count.store(out_count);
    g_device.out_sample_bits.store(out_bits);
    g_device.in_channel_count.store(in_count);
    g_device.in_sample_bits.store(in_bits);
  }

  // Gives a slot a FIFO of `capacity` items of the direction's width and enables it.
  static fifo_handle give_fifo(bool input, int channel, int32_t capacity, bool enabled = true) {
    ChannelSlot &slot = (input ? g_stream.in_channels : g_stream.out_channels)[channel];
    const int32_t bits = input ? g_device.in_sample_bits.load() : g_device.out_sample_bits.load();
    if (slot.fifo != nullptr) fifo_delete(slot.fifo);
    slot.fifo = fifo_create(capacity, bits / 8);
    slot.enabled = enabled ? 1 : 0;
    slot.channel = channel;
    slot.direction = input ? 1 : 0;
    return slot.fifo;
  }

  static void set_active(bool active) {
    g_stream.out_active.store(active ? 1 : 0);
    g_stream.in_active.store(active ? 1 : 0);
  }

  // Little-endian sample bytes of `value` at the given width.
  static std::vector<uint8_t> sample(uint32_t value, int size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
      bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
  }

  static int32_t stored(fifo_handle f) { return f->capacity - f->free_count; }
};

}  // namespace vexdaq::testing
