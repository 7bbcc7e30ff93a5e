// Data pipes that stop moving, and applications too slow or too fast for the stream: each is
// reported where the user looks (results, log, loss counters), and what is delivered is exact.
#include <cstring>
#include <thread>
#include <vector>

#include "faults/fault_fixture.h"
#include "stream/stream_state.h"

namespace vexdaq::testing {
namespace {

using Pipes = FaultTest;

// Output samples of a 16-bit channel numbered from 1, so that a zero the library sent in place
// of missing data is told apart from data.
std::vector<uint8_t> numbered(uint32_t first, int count) {
  std::vector<uint8_t> bytes(static_cast<size_t>(count) * 2);
  for (int i = 0; i < count; ++i) {
    const uint32_t v = 1 + (first + static_cast<uint32_t>(i)) % 65535;
    bytes[static_cast<size_t>(i) * 2] = static_cast<uint8_t>(v);
    bytes[static_cast<size_t>(i) * 2 + 1] = static_cast<uint8_t>(v >> 8);
  }
  return bytes;
}

// What the instrument played of an output of numbered() samples: the zeros the library sent in
// place of missing data, and the data, which must run on from the first sample without a gap.
struct Played {
  uint64_t zeros = 0;
  uint64_t data = 0;
};

void read_played(int32_t id, Played &played) {
  std::vector<uint8_t> sent(8 << 20);
  const int32_t got = vexdaq_sim_output_read(id, sent.data(), static_cast<int32_t>(sent.size()));
  ASSERT_GE(got, 0);
  for (int32_t i = 0; i + 1 < got; i += 2) {
    const uint32_t v = sent[static_cast<size_t>(i)] | (sent[static_cast<size_t>(i) + 1] << 8);
    if (v == 0) {
      ++played.zeros;
      continue;
    }
    ASSERT_EQ(v, 1 + played.data % 65535) << "sample " << played.data;
    ++played.data;
  }
}

constexpr const char *kPacedOutput =
    "pacing=realtime;in_channels=0;out_channels=1;out_bits=16;out_rates=48000";

TEST_F(Pipes, StalledTxPipeFailsTheSenderAndTheStreamStartsAgain) {
  const int32_t id = open(kPacedOutput);
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 8192, .in_capacity = 16, .out_mask = 0x1, .in_mask = 0}));
  ASSERT_EQ(vexdaq_sim_fault(id, "stall=tx"), 0);
  const std::vector<uint8_t> block = numbered(0, 8192);
  // Two FIFOs' worth: the second can only go once the stalled pipe moves, which it will not.
  EXPECT_EQ(vexdaq_send_data(0, block.data(), 8192 * 2, 1), 8192 * 2);
  EXPECT_EQ(returns_within(10, [&] { return vexdaq_send_data(0, block.data(), 8192 * 2, 1); }), -1);
  EXPECT_EQ(vexdaq_send_data(0, block.data(), 2, 0), -1) << "refused until the stream stops";
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_TRUE(log_has("hWriteEvent failed retval = 0x102 status = 0x"));
  EXPECT_TRUE(log_has("usbio_core_send_data failed 1 "));  // active or already stopped
  EXPECT_EQ(loss(false).transfer_failures, 1u);
  EXPECT_EQ(g_stream.core_failed.load(), 0);

  ASSERT_EQ(vexdaq_sim_fault(id, "stall=none"), 0);
  std::vector<uint8_t> drained(1 << 20);
  vexdaq_sim_output_read(id, drained.data(), static_cast<int32_t>(drained.size()));
  ASSERT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(vexdaq_send_data(0, block.data(), 8192 * 2, 1), 8192 * 2);
  EXPECT_EQ(vexdaq_send_data(0, block.data(), 8192 * 2, 1), 8192 * 2) << "the pipe moves again";
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(loss(false).transfer_failures, 1u);
}

TEST_F(Pipes, BothPipesStalledFailOnceAndStopCleanly) {
  const int32_t id =
      open("waveform=counter;pacing=realtime;in_channels=2;out_channels=2;in_bits=16");
  ASSERT_NO_FATAL_FAILURE(
      prepare_stream({.out_capacity = 4096, .in_capacity = 4096, .out_mask = 0x3, .in_mask = 0x3}));
  ASSERT_EQ(vexdaq_sim_fault(id, "stall=rx"), 0);
  ASSERT_EQ(vexdaq_sim_fault(id, "stall=tx"), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  uint8_t buffer[4096 * 2];
  EXPECT_EQ(returns_within(10, [&] { return vexdaq_recv_all_data(0, buffer, 4000 * 2, 1); }), -1);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(vexdaq_stop(), 0);
  const vexdaq_loss_counters in = loss(true), out = loss(false);
  EXPECT_GE(in.transfer_failures + out.transfer_failures, 1u);
  EXPECT_LE(in.transfer_failures + out.transfer_failures, 2u);
  EXPECT_EQ(g_stream.core_failed.load(), 0);
}

// An input pipe that halts fails its transfers at once rather than leaving them pending. The
// library must not spin on the failures: it reports them and stops the stream like a stall.
TEST_F(Pipes, HaltedRxPipeIsReportedAndClearedByTheStop) {
  open(kCounterInputs);
  ASSERT_NO_FATAL_FAILURE(fail_input_and_restart("halt=rx", "halt=none"));
}

// An application that feeds the output too slowly: the gaps go out as zeros, counted, and every
// sample it did hand over reaches the device once and in order.
TEST_F(Pipes, SlowSenderGetsZeroFilledGapsThatTheCountersReport) {
  const int32_t id = open(kPacedOutput);
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 4096, .in_capacity = 16, .out_mask = 0x1, .in_mask = 0}));
  constexpr int kBlocks = 20;
  constexpr int kBlock = 1000;
  for (int b = 0; b < kBlocks; ++b) {
    const std::vector<uint8_t> block = numbered(static_cast<uint32_t>(b * kBlock), kBlock);
    ASSERT_EQ(vexdaq_send_data(0, block.data(), kBlock * 2, 1), kBlock * 2);
    // 1000 samples play in 21 ms; the application comes back after 30.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  // What the device has been sent so far, then the rest after the stop.
  EXPECT_EQ(vexdaq_stop(), 0);
  const vexdaq_loss_counters counters = loss(false);
  Played played;
  ASSERT_NO_FATAL_FAILURE(read_played(id, played));
  EXPECT_GT(counters.zero_filled, 0u);
  EXPECT_EQ(played.zeros, counters.zero_filled);
  EXPECT_EQ(played.data, counters.moved);
  // Samples still queued when the stream stopped are emptied on purpose; none beyond those.
  EXPECT_LE(played.data, static_cast<uint64_t>(kBlocks * kBlock));
  EXPECT_GE(played.data + 4096, static_cast<uint64_t>(kBlocks * kBlock));
}

// An application that writes faster than the device plays: its blocking sends wait for room
// instead of overwriting, and the device receives every sample once and in order.
TEST_F(Pipes, FastSenderWaitsAndLosesNothing) {
  const int32_t id = open(kPacedOutput);
  ASSERT_NO_FATAL_FAILURE(
      prepare_stream({.out_capacity = 16384, .in_capacity = 16, .out_mask = 0x1, .in_mask = 0}));
  // Blocks of an eighth of the FIFO: a blocking send waits only until that much has played, so
  // the FIFO never runs dry while the writer is ahead.
  constexpr int kBlock = 2048;
  constexpr int kBlocks = 32;  // 1.4 s of playing, written as fast as the calls return
  // A full FIFO goes in before the start (the all-channel call takes it then), so the stream
  // begins with data and the writer is ahead from the first packet on.
  constexpr int kFirst = 16384 / kBlock;
  ASSERT_EQ(vexdaq_send_all_data(0, numbered(0, 16384).data(), 16384 * 2, 0), 16384 * 2);
  ASSERT_EQ(vexdaq_start(), 0);
  for (int b = kFirst; b < kBlocks; ++b) {
    const std::vector<uint8_t> block = numbered(static_cast<uint32_t>(b * kBlock), kBlock);
    ASSERT_EQ(vexdaq_send_data(0, block.data(), kBlock * 2, 1), kBlock * 2);
  }
  EXPECT_EQ(vexdaq_stop(), 0);
  const vexdaq_loss_counters counters = loss(false);
  Played played;
  ASSERT_NO_FATAL_FAILURE(read_played(id, played));
  // Nothing overwritten, nothing repeated; a zero the device played is one the counters report.
  EXPECT_EQ(played.zeros, counters.zero_filled);
  EXPECT_EQ(played.data, counters.moved);
  EXPECT_GE(played.data + 16384, static_cast<uint64_t>(kBlocks * kBlock))
      << "at most a FIFO emptied";
}

// An application that polls faster than the device produces gets each sample once, in order,
// and never a sample that was not sent.
TEST_F(Pipes, FastReaderGetsEverySampleOnceAndNothingInvented) {
  open("waveform=counter;pacing=realtime;in_channels=2;out_channels=1;in_bits=24;in_rates=48000");
  ASSERT_NO_FATAL_FAILURE(
      start_stream({.out_capacity = 16, .in_capacity = 1 << 16, .out_mask = 0, .in_mask = 0x3}));
  CounterCheck checks[2] = {{24, 0}, {24, 1}};
  uint8_t buffer[2 * 16 * 3];
  uint64_t empty_polls = 0;
  while (checks[0].checked < 24000) {
    // Sixteen samples per channel: far less than a packet brings, so most polls find nothing
    // new or exactly one packet's worth.
    const int32_t got = vexdaq_recv_all_data(0, buffer, 16 * 3, 0);
    ASSERT_GE(got, 0);
    if (got == 0) {
      ++empty_polls;
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(got, 16 * 3);
    for (int c = 0; c < 2; ++c) ASSERT_EQ(checks[c].take_block(buffer + c * 16 * 3, 16), "");
  }
  EXPECT_EQ(vexdaq_stop(), 0);
  // Frames the instrument dropped after the last one read are counted but never seen.
  const uint64_t dropped = device_dropped();
  EXPECT_LE(checks[0].skipped, dropped);
  EXPECT_LE(checks[1].skipped, dropped);
  EXPECT_EQ(loss(true).overwritten, 0u);
  EXPECT_GT(empty_polls, 0u) << "the reader really was faster than the stream";
}

}  // namespace
}  // namespace vexdaq::testing
