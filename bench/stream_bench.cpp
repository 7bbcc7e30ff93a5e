// Streaming figures: the packers and unpackers alone, and (against the free-running and the paced
// virtual instrument) the sustained sample throughput through the whole path, the CPU a paced
// stream costs and the CPU a blocking receive burns while it waits. Prints figures only.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "platform/sync.h"
#include "session/device_session.h"
#include "session/fifo.h"
#include "stream/packing.h"

namespace {

using namespace vexdaq;

// A hand-made session of `channels` channels of `bits` each direction, all enabled, with FIFOs
// of a million samples. No threads.
class PackingSession {
 public:
  PackingSession(int16_t channels, int16_t bits) {
    g_session.out_lock = platform::create_mutex();
    g_session.in_lock = platform::create_mutex();
    g_session.out_channel_count.store(channels);
    g_session.in_channel_count.store(channels);
    g_session.out_sample_bits.store(bits);
    g_session.in_sample_bits.store(bits);
    for (int c = 0; c < channels; ++c) {
      for (ChannelSlot *table : {g_session.out_channels, g_session.in_channels}) {
        table[c].fifo = fifo_create(1 << 20, bits / 8);
        table[c].enabled = 1;
      }
    }
  }
  ~PackingSession() {
    for (ChannelSlot *table : {g_session.out_channels, g_session.in_channels}) {
      for (int c = 0; c < kMaxChannels; ++c) {
        if (table[c].fifo != nullptr) fifo_delete(table[c].fifo);
        table[c] = ChannelSlot{};
      }
    }
    g_session.out_channel_count.store(0);
    g_session.in_channel_count.store(0);
    g_session.out_sample_bits.store(0);
    g_session.in_sample_bits.store(0);
    g_session.out_lock.reset();
    g_session.in_lock.reset();
  }
  // Largest whole-frame packet of at most 512 bytes.
  static int32_t packet(int32_t channels, int32_t bits) {
    const int32_t bytes = bits / 8;
    return channels * bytes * ((512 / channels) / bytes);
  }
};

void pack(benchmark::State &state) {
  const auto channels = static_cast<int16_t>(state.range(0));
  const auto bits = static_cast<int16_t>(state.range(1));
  PackingSession session(channels, bits);
  const int32_t size = PackingSession::packet(channels, bits);
  const PackFunction packer = select_tx_packer(channels, bits);
  uint8_t buffer[540];
  for (auto _ : state) {
    if (g_session.out_channels[0].fifo->free_count > g_session.out_channels[0].fifo->capacity / 2) {
      state.PauseTiming();
      for (int c = 0; c < channels; ++c) g_session.out_channels[c].fifo->free_count = 0;
      state.ResumeTiming();
    }
    std::memset(buffer, 0, static_cast<size_t>(size));
    packer(buffer, size);
    benchmark::DoNotOptimize(buffer);
  }
  state.SetBytesProcessed(state.iterations() * size);
  state.SetLabel("packet " + std::to_string(size) + " bytes");
}

void unpack(benchmark::State &state) {
  const auto channels = static_cast<int16_t>(state.range(0));
  const auto bits = static_cast<int16_t>(state.range(1));
  PackingSession session(channels, bits);
  const int32_t size = PackingSession::packet(channels, bits);
  const UnpackFunction unpacker = select_rx_unpacker(channels, bits);
  uint8_t buffer[540];
  for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<uint8_t>(i);
  for (auto _ : state) {
    if (g_session.in_channels[0].fifo->free_count < g_session.in_channels[0].fifo->capacity / 2) {
      state.PauseTiming();
      for (int c = 0; c < channels; ++c) fifo_reset(g_session.in_channels[c].fifo);
      state.ResumeTiming();
    }
    unpacker(buffer, size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * size);
  state.SetLabel("packet " + std::to_string(size) + " bytes");
}

void packing_args(benchmark::internal::Benchmark *b) {
  for (int bits : {16, 24, 32}) {
    for (int channels : {2, 8, 64}) b->Args({channels, bits});
  }
}

BENCHMARK(pack)->Apply(packing_args);
BENCHMARK(unpack)->Apply(packing_args);

}  // namespace

BENCHMARK_MAIN();
