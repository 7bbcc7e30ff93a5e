// Throughput of the FIFO operations on the per-sample and per-block paths.
#include <benchmark/benchmark.h>

#include <vector>

#include "session/fifo.h"

namespace {

using vexdaq::fifo_create;
using vexdaq::fifo_delete;

void fifo_write_one(benchmark::State &state) {
  const auto item_size = static_cast<int32_t>(state.range(0));
  auto *f = fifo_create(4096, item_size);
  uint8_t item[4] = {1, 2, 3, 4};
  for (auto _ : state) {
    vexdaq::fifo_write_one(f, item);  // overwrites once full: the input path's worst case
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * item_size);
  fifo_delete(f);
}

void fifo_read_one(benchmark::State &state) {
  const auto item_size = static_cast<int32_t>(state.range(0));
  auto *f = fifo_create(4096, item_size);
  uint8_t item[4] = {};
  for (auto _ : state) {
    if (f->free_count == f->capacity) {
      state.PauseTiming();
      f->free_count = 0;  // refill without copying: the bytes are irrelevant here
      state.ResumeTiming();
    }
    vexdaq::fifo_read_one(f, item);
    benchmark::DoNotOptimize(item);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * item_size);
  fifo_delete(f);
}

void fifo_bulk_write_read(benchmark::State &state) {
  const auto item_size = static_cast<int32_t>(state.range(0));
  constexpr int32_t kBlock = 1000;
  auto *f = fifo_create(4093, item_size);  // odd capacity: blocks keep crossing the end
  std::vector<uint8_t> block(static_cast<size_t>(kBlock * item_size), 0x5A);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vexdaq::fifo_write(f, block.data(), kBlock));
    benchmark::DoNotOptimize(vexdaq::fifo_read(f, block.data(), kBlock));
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
  state.SetBytesProcessed(state.iterations() * kBlock * item_size);
  fifo_delete(f);
}

}  // namespace

BENCHMARK(fifo_write_one)->Arg(2)->Arg(3)->Arg(4);
BENCHMARK(fifo_read_one)->Arg(2)->Arg(3)->Arg(4);
BENCHMARK(fifo_bulk_write_read)->Arg(2)->Arg(3)->Arg(4);

BENCHMARK_MAIN();
