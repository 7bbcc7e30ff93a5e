// Samples through the whole path, application to instrument and back, against the virtual
// instrument: its counter pattern numbers every frame, so a lost, repeated, reordered or
// corrupted sample shows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/counter_check.h"

#include "support/test_support.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

using vexdaq::testing::CounterCheck;

class StreamIntegrity : public ::testing::Test {
 protected:
  void SetUp() override { vexdaq_sim_reset(); }

  void TearDown() override {
    vexdaq_dispose_buffers();  // the channel tables outlive a session
    vexdaq_device_close();
    vexdaq_sim_reset();
  }

  // Plugs an exclusive instrument with the profile and opens it.
  int32_t open(const std::string &profile) {
    const int32_t id = vexdaq_sim_plug(("exclusive=1;" + profile).c_str());
    EXPECT_GE(id, 0) << profile;
    sim_ = id;
    EXPECT_EQ(vexdaq_device_open(0), 0);
    EXPECT_EQ(vexdaq_reset_loss_counters(), 0);  // they outlive sessions
    return id;
  }

  static uint32_t sample_at(const uint8_t *p, int size) {
    uint32_t v = 0;
    for (int i = 0; i < size; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
  }

  // Input frames the instrument dropped because the host did not read them in time.
  int64_t device_dropped() const { return vexdaq_sim_counter(sim_, "rx_dropped_frames"); }

  int32_t sim_ = -1;

  static int count_lines(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  static vexdaq_loss_counters loss(bool input, int32_t channel) {
    vexdaq_loss_counters counters{};
    EXPECT_EQ(vexdaq_get_loss_counters(input ? 1 : 0, channel, &counters), 0);
    return counters;
  }
};

class CounterPattern : public StreamIntegrity, public ::testing::WithParamInterface<int> {};

TEST_P(CounterPattern, EveryInputSampleArrivesOnceInOrderAndIntact) {
  const int bits = GetParam();
  const int size = bits / 8;
  constexpr int kChannels = 8;
  // A rate the checking loop keeps up with even in a ThreadSanitizer build on a busy machine:
  // the test is about the path, and an application that falls behind is the overrun test's.
  constexpr int kRate = 25600;
  open("waveform=counter;pacing=realtime;in_channels=8;out_channels=2;in_bits=" +
       std::to_string(bits) + ";in_rates=" + std::to_string(kRate));
  ASSERT_EQ(vexdaq_create_buffers(1024, 1 << 18), 0);  // 10 s of input per channel
  ASSERT_EQ(vexdaq_set_input_channel(0xFF), 0);
  ASSERT_EQ(vexdaq_reset_loss_counters(), 0);
  ASSERT_EQ(vexdaq_start(), 0);

  std::vector<CounterCheck> checks;
  for (int c = 0; c < kChannels; ++c) checks.push_back(CounterCheck{bits, c});
  constexpr int kBlock = 1024;   // samples per channel per call: 40 ms at the rate
  const int64_t wanted = kRate;  // one second
  std::vector<uint8_t> buffer(static_cast<size_t>(kChannels * kBlock * size));
  for (int64_t got = 0; got < wanted; got += kBlock) {
    ASSERT_EQ(vexdaq_recv_all_data(0, buffer.data(), kBlock * size, 1), kBlock * size);
    for (int c = 0; c < kChannels; ++c) {
      const uint8_t *block = &buffer[static_cast<size_t>(c * kBlock * size)];
      for (int i = 0; i < kBlock; ++i) {
        const std::string fault =
            checks[static_cast<size_t>(c)].take(sample_at(block + i * size, size));
        ASSERT_TRUE(fault.empty()) << "channel " << c << ": " << fault;
      }
    }
  }
  EXPECT_EQ(checks[0].checked, static_cast<uint64_t>(wanted));
  EXPECT_EQ(vexdaq_stop(), 0);
  // Every gap is a frame the instrument reports dropping before the library saw it.
  const uint64_t dropped = static_cast<uint64_t>(device_dropped());
  for (const CounterCheck &check : checks) {
    // The instrument may also drop frames after the last one read (during the stop).
    EXPECT_LE(check.skipped, dropped) << "channel " << check.channel << ": " << check.skipped
                                      << " frames missing, the device dropped " << dropped;
  }
  const vexdaq_loss_counters total = loss(true, VEXDAQ_ALL_CHANNELS);
  EXPECT_EQ(total.overwritten, 0u);
  EXPECT_EQ(total.dropped, 0u);
  EXPECT_EQ(total.transfer_failures, 0u);
  EXPECT_GE(total.moved, static_cast<uint64_t>(wanted * kChannels));
}

INSTANTIATE_TEST_SUITE_P(Widths, CounterPattern, ::testing::Values(16, 24, 32));

TEST_F(StreamIntegrity, ApplicationTooSlowLosesTheOldestSamplesAndTheCountersSayHowMany) {
  constexpr int kCapacity = 16384;  // 160 ms at the rate
  open("waveform=counter;pacing=realtime;in_channels=2;out_channels=1;in_bits=32;in_rates=102400");
  ASSERT_EQ(vexdaq_create_buffers(1024, kCapacity), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x3), 0);
  ASSERT_EQ(vexdaq_reset_loss_counters(), 0);
  ASSERT_EQ(vexdaq_start(), 0);

  // Channel 0 is read, channel 1 is left alone for three FIFOs' worth of samples.
  std::vector<uint8_t> buffer(static_cast<size_t>(kCapacity) * 4);
  CounterCheck first{32, 0};
  uint32_t frame_zero = 0;
  constexpr int kChunk = kCapacity / 4;  // waiting for a full FIFO would itself overrun it
  for (int round = 0; round < 12; ++round) {
    ASSERT_EQ(vexdaq_recv_data(0, buffer.data(), kChunk * 4, 1), kChunk * 4);
    if (round == 0) frame_zero = sample_at(buffer.data(), 4) & 0xFFFFFF;
    for (int i = 0; i < kChunk; ++i) {
      ASSERT_EQ(first.take(sample_at(&buffer[static_cast<size_t>(i) * 4], 4)), "");
    }
  }
  // A full FIFO holds the newest samples, consecutive, and nothing else.
  ASSERT_EQ(vexdaq_recv_data(1, buffer.data(), kCapacity * 4, 0), kCapacity * 4);
  const vexdaq_loss_counters lost = loss(true, 1);
  CounterCheck second{32, 1};
  for (int i = 0; i < kCapacity; ++i) {
    ASSERT_EQ(second.take(sample_at(&buffer[static_cast<size_t>(i) * 4], 4)), "") << i;
  }
  const uint64_t dropped = static_cast<uint64_t>(device_dropped());
  const uint32_t oldest_kept = sample_at(buffer.data(), 4) & 0xFFFFFF;
  // Exact unless the instrument dropped frames as well (it reports how many).
  EXPECT_LE(lost.overwritten, oldest_kept - frame_zero);
  EXPECT_GE(lost.overwritten + dropped, oldest_kept - frame_zero)
      << "the counters report the frames the pattern shows missing";
  EXPECT_LE(first.skipped, dropped);
  EXPECT_GE(lost.overwritten, static_cast<uint64_t>(kCapacity));

  // Reading on from there, nothing more is missing.
  ASSERT_EQ(vexdaq_recv_data(1, buffer.data(), 1024 * 4, 1), 1024 * 4);
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(second.take(sample_at(&buffer[static_cast<size_t>(i) * 4], 4)), "") << i;
  }
  EXPECT_LE(second.skipped, static_cast<uint64_t>(device_dropped()));
  EXPECT_EQ(loss(true, 0).overwritten, 0u);
  EXPECT_EQ(vexdaq_stop(), 0);
}

TEST_F(StreamIntegrity, LoopbackReturnsWhatWasSentUnchanged) {
  constexpr int kSamples = 100000;
  open(
      "loopback=1;pacing=realtime;in_channels=2;out_channels=2;in_bits=24;out_bits=24;"
      "in_rates=102400;out_rates=102400");
  ASSERT_EQ(vexdaq_create_buffers(kSamples, 1 << 20), 0);
  ASSERT_EQ(vexdaq_set_output_channel(0x3), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x3), 0);
  ASSERT_EQ(vexdaq_start(), 0);

  std::vector<std::vector<uint8_t>> sent(2);
  for (int c = 0; c < 2; ++c) {
    sent[static_cast<size_t>(c)].resize(kSamples * 3);
    for (uint32_t i = 0; i < kSamples; ++i) {
      const uint32_t v = ((static_cast<uint32_t>(c + 1) << 20) ^ (i * 2654435761u >> 8)) | 1u;
      std::memcpy(&sent[static_cast<size_t>(c)][i * 3], &v, 3);
    }
    ASSERT_EQ(vexdaq_send_data(c, sent[static_cast<size_t>(c)].data(), kSamples * 3, 1),
              kSamples * 3);
  }
  // Zero frames may come first (the output ran dry before the data arrived); from the first
  // sample on, every input channel carries exactly what its output channel was sent.
  for (int c = 0; c < 2; ++c) {
    std::vector<uint8_t> got;
    uint8_t sample[3];
    while (true) {
      ASSERT_EQ(vexdaq_recv_data(c, sample, 3, 1), 3);
      if (sample[0] != 0 || sample[1] != 0 || sample[2] != 0) break;
    }
    got.assign(sample, sample + 3);
    std::vector<uint8_t> rest((kSamples - 1) * 3);
    ASSERT_EQ(vexdaq_recv_data(c, rest.data(), static_cast<int32_t>(rest.size()), 1),
              static_cast<int32_t>(rest.size()));
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_TRUE(got == sent[static_cast<size_t>(c)]) << "channel " << c;
  }
  EXPECT_EQ(loss(false, VEXDAQ_ALL_CHANNELS).moved, 2u * kSamples);
  EXPECT_EQ(loss(true, VEXDAQ_ALL_CHANNELS).overwritten, 0u);
  EXPECT_EQ(vexdaq_stop(), 0);
}

TEST_F(StreamIntegrity, StalledInputPipeFailsTheStreamWhichStartsAgainAfterwards) {
  const int32_t id = open(
      "waveform=counter;pacing=realtime;in_channels=2;out_channels=1;in_bits=32;in_rates=102400");
  ASSERT_EQ(vexdaq_create_buffers(1024, 1 << 16), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x1), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  std::vector<uint8_t> buffer(4096 * 4);
  ASSERT_EQ(vexdaq_recv_data(0, buffer.data(), 4096 * 4, 1), 4096 * 4);

  ASSERT_EQ(vexdaq_sim_fault(id, "stall=rx"), 0);
  // A blocking receive that cannot be served is released by the failure, not left hanging.
  EXPECT_EQ(vexdaq_recv_data(0, buffer.data(), 60000 * 4, 1), -1);
  EXPECT_EQ(vexdaq_stop(), 0);  // queued behind the failing thread's own stop
  std::string log = vexdaq::testing::read_log();
  EXPECT_NE(log.find("hReadEvent failed retval = 0x102 status = 0x"), std::string::npos) << log;
  EXPECT_NE(log.find("usbio_core_recv_data failed 1 1\r\r\n"), std::string::npos);
  EXPECT_EQ(loss(true, VEXDAQ_ALL_CHANNELS).transfer_failures, 1u);

  ASSERT_EQ(vexdaq_sim_fault(id, "stall=none"), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  ASSERT_EQ(vexdaq_recv_data(0, buffer.data(), 4096 * 4, 1), 4096 * 4);
  CounterCheck check{32, 0};
  for (int i = 0; i < 4096; ++i)
    ASSERT_EQ(check.take(sample_at(&buffer[static_cast<size_t>(i) * 4], 4)), "");
  EXPECT_EQ(vexdaq_stop(), 0);
}

TEST_F(StreamIntegrity, FailingInputTransfersStopTheStreamInsteadOfBeingRetriedInASpin) {
  const int32_t id = open(
      "waveform=counter;pacing=realtime;in_channels=2;out_channels=1;in_bits=32;in_rates=102400");
  ASSERT_EQ(vexdaq_create_buffers(16, 1 << 16), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x1), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  std::vector<uint8_t> buffer(60000 * 4);
  ASSERT_EQ(vexdaq_recv_data(0, buffer.data(), 1024 * 4, 1), 1024 * 4);
  ASSERT_EQ(vexdaq_sim_fault(id, "halt=rx"), 0);  // every read now fails at once
  EXPECT_EQ(vexdaq_recv_data(0, buffer.data(), 60000 * 4, 1), -1);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_NE(vexdaq::testing::read_log().find("hReadEvent failed retval = 0x0 status = 0xC0000004."),
            std::string::npos);
  EXPECT_EQ(loss(true, VEXDAQ_ALL_CHANNELS).transfer_failures, 1u);
  ASSERT_EQ(vexdaq_sim_fault(id, "halt=none"), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(vexdaq_recv_data(0, buffer.data(), 1024 * 4, 1), 1024 * 4);
  EXPECT_EQ(vexdaq_stop(), 0);
}

TEST_F(StreamIntegrity, StalledOutputPipeFailsTheStreamWithTheWriteLine) {
  const int32_t id =
      open("pacing=realtime;in_channels=1;out_channels=2;out_bits=16;out_rates=10000");
  // More than the instrument's own FIFO and the four packets in flight can take, so that samples
  // are still queued here when the pipe sticks.
  constexpr int kCapacity = 60000;
  ASSERT_EQ(vexdaq_create_buffers(kCapacity, 1024), 0);
  ASSERT_EQ(vexdaq_set_output_channel(0x3), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  std::vector<uint8_t> block(kCapacity * 2, 0x11);
  ASSERT_EQ(vexdaq_send_all_data(0, block.data(), 40000 * 2, 1), 40000 * 2);
  ASSERT_EQ(vexdaq_sim_fault(id, "stall=tx"), 0);
  // Room for the whole FIFO never comes once the pipe is stuck; the failure releases the call.
  EXPECT_EQ(vexdaq_send_all_data(0, block.data(), kCapacity * 2, 1), -1);
  EXPECT_EQ(vexdaq_stop(), 0);
  const std::string log = vexdaq::testing::read_log();
  EXPECT_NE(log.find("hWriteEvent failed retval = 0x102 status = 0x"), std::string::npos) << log;
  EXPECT_NE(log.find("usbio_core_send_all_data failed 1\r\r\n"), std::string::npos);
  EXPECT_EQ(log.find("hReadEvent failed"), std::string::npos);
  EXPECT_EQ(loss(false, VEXDAQ_ALL_CHANNELS).transfer_failures, 1u);
  EXPECT_EQ(loss(false, 1).transfer_failures, 1u);

  ASSERT_EQ(vexdaq_sim_fault(id, "stall=none"), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(vexdaq_send_data(0, block.data(), 2000, 1), 2000);
  EXPECT_EQ(vexdaq_stop(), 0);
}

TEST_F(StreamIntegrity, EveryRestartStreamsAgainHoweverQuicklyItFollowsTheStop) {
  open("waveform=counter;pacing=free;in_channels=2;out_channels=2;in_bits=16");
  ASSERT_EQ(vexdaq_create_buffers(256, 4096), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x2), 0);
  ASSERT_EQ(vexdaq_set_output_channel(0x1), 0);
  std::vector<uint8_t> buffer(1024 * 2);
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(vexdaq_start(), 0);
    ASSERT_EQ(vexdaq_recv_data(1, buffer.data(), 1024 * 2, 1), 1024 * 2) << "round " << round;
    CounterCheck check{16, 1};
    for (int i = 0; i < 1024; ++i) {
      ASSERT_EQ(check.take(sample_at(&buffer[static_cast<size_t>(i) * 2], 2)), "");
    }
    ASSERT_EQ(vexdaq_stop(), 0);
  }
  EXPECT_EQ(loss(true, VEXDAQ_ALL_CHANNELS).transfer_failures, 0u);
}

TEST_F(StreamIntegrity, InputStreamsWhileAnOutputlessDeviceSendsNothing) {
  const int32_t id = open("waveform=counter;pacing=free;in_channels=4;out_channels=0;in_bits=16");
  ASSERT_EQ(vexdaq_create_buffers(16, 1 << 16), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x4), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  std::vector<uint8_t> buffer(8192 * 2);
  ASSERT_EQ(vexdaq_recv_data(2, buffer.data(), 8192 * 2, 1), 8192 * 2);
  CounterCheck check{16, 2};
  for (int i = 0; i < 8192; ++i) {
    ASSERT_EQ(check.take(sample_at(&buffer[static_cast<size_t>(i) * 2], 2)), "") << i;
  }
  EXPECT_EQ(vexdaq_send_data(0, buffer.data(), 2, 1), 2) << "no output channels: B";
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(vexdaq_sim_counter(id, "tx_packets"), 0);
}

TEST_F(StreamIntegrity, DisposingWhileStreamingStopsTheStreamFirst) {
  open("waveform=counter;pacing=free;in_channels=2;out_channels=2");
  ASSERT_EQ(vexdaq_create_buffers(1000, 1000), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x3), 0);
  ASSERT_EQ(vexdaq_set_output_channel(0x3), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  uint8_t buffer[300];
  ASSERT_EQ(vexdaq_recv_data(0, buffer, 300, 1), 300);
  EXPECT_EQ(vexdaq_dispose_buffers(), 0);
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(vexdaq_recv_data(c, buffer, 3, 0), 0);
    EXPECT_EQ(vexdaq_send_data(c, buffer, 3, 0), 0);
  }
  const std::string log = vexdaq::testing::read_log();
  const size_t stop = log.find("Message STOP received");
  ASSERT_NE(stop, std::string::npos);
  EXPECT_EQ(log.find("<fifo_delete>"), log.find("<fifo_delete>", stop)) << "deleted after the stop";
  EXPECT_EQ(StreamIntegrity::count_lines(log, "<fifo_delete>"), 4);
  EXPECT_EQ(vexdaq_dispose_buffers(), 0);
  EXPECT_EQ(StreamIntegrity::count_lines(vexdaq::testing::read_log(), "<fifo_delete>"), 4);
}

}  // namespace
