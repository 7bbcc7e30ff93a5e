// Acquisition configuration against the virtual instrument: the requests on the wire and what the
// queries report.
#include <string>

#include "behaviour/commands_fixture.h"
#include "core/core_state.h"
#include "session/message_queue.h"
#include "stream/stream_state.h"

namespace vexdaq::testing {
namespace {

class ConfigCommands : public CommandsTest {
 protected:
  const char *profile() const override {
    return "in_channels=8;out_channels=2;in_bits=16;out_bits=24;in_rates=1000,2000,48000;"
           "out_rates=8000,16000";
  }
};

TEST_F(ConfigCommands, TriggerModeSendsTheRecordToTheSideOfBitZero) {
  EXPECT_EQ(vexdaq_set_trigger_mode(0x101, 2, 3, -1, 0x12345678, 1), 0);
  EXPECT_EQ(vexdaq_set_trigger_mode(4, 5, 6, 7, 8, 2), 0);
  EXPECT_EQ(trace(), (Lines{"41 D9 0000 8000 0008 : 01 02 03 FF 78 56 34 12",
                            "41 D9 0000 0000 0008 : 04 05 06 07 08 00 00 00"}));
  EXPECT_TRUE(log_has("vexdaq_set_trigger_mode (257, 2, 3, -1, 305419896, 1)\r\n"));
  EXPECT_TRUE(log_has("Message trigger mode received\r\n"));
}

TEST_F(ConfigCommands, SampleModeSendsThreeLowBytes) {
  EXPECT_EQ(vexdaq_set_sample_mode(0x1FF, 7, 0x302, 0), 0);
  EXPECT_EQ(vexdaq_set_sample_mode(1, 2, 3, 3), 0);
  EXPECT_EQ(trace(), (Lines{"41 D7 0000 0000 0003 : FF 07 02", "41 D7 0000 8000 0003 : 01 02 03"}));
}

TEST_F(ConfigCommands, SampleRateWhileIdleOnlySendsTheRates) {
  EXPECT_EQ(vexdaq_set_sample_rate(16000, 48000), 0);
  EXPECT_EQ(trace_after_flush(), (Lines{"21 D1 0000 0000 0008 : 80 BB 00 00 80 3E 00 00"}));
  EXPECT_TRUE(log_has("<usbio_controller_set_samplerate> : 0x00003E80, 0x0000BB80\r\n"));
}

TEST_F(ConfigCommands, SampleRateWhileStartedStopsSendsAndRestarts) {
  ASSERT_EQ(vexdaq_start(), 0);
  trace();
  EXPECT_EQ(vexdaq_set_sample_rate(8000, 2000), 0);
  Lines requests;
  for (const std::string &line : trace()) {
    if (line.rfind("02 01 ", 0) != 0) requests.push_back(line);  // the stop's pipe resets
  }
  EXPECT_EQ(requests,
            (Lines{"21 FD 0000 0000 0000", "21 D1 0000 0000 0008 : D0 07 00 00 40 1F 00 00",
                   "21 FE 0000 0000 0000"}));
  EXPECT_EQ(vexdaq_stop(), 0);
}

// A rate that reaches the core while the stream runs (another thread's start came first) is
// neither skipped nor sent under the running stream: the core stops, sends it and restarts.
TEST_F(ConfigCommands, ARateThatMeetsARunningStreamIsSentBetweenStopAndRestart) {
  ASSERT_EQ(vexdaq_start(), 0);
  trace();
  ASSERT_EQ(post_message(MSG_SAMPLE_RATE, 8000, 2000, 0, nullptr), 0);
  Lines requests;
  for (const std::string &line : trace()) {
    if (line.rfind("02 01 ", 0) != 0) requests.push_back(line);
  }
  EXPECT_EQ(requests,
            (Lines{"21 FD 0000 0000 0000", "21 D1 0000 0000 0008 : D0 07 00 00 40 1F 00 00",
                   "21 FE 0000 0000 0000"}));
  EXPECT_EQ(g_stream.streaming.load(), 1);
  EXPECT_EQ(vexdaq_stop(), 0);
}

// Disposing of the buffers stops the stream and ends the request: a later rate must not start
// streaming on channels without FIFOs.
TEST_F(ConfigCommands, ARateAfterDisposingOfTheBuffersDoesNotRestart) {
  ASSERT_EQ(vexdaq_create_buffers(256, 256), 0);
  ASSERT_EQ(vexdaq_set_input_channel(0x1), 0);
  ASSERT_EQ(vexdaq_start(), 0);
  ASSERT_EQ(vexdaq_dispose_buffers(), 0);
  EXPECT_EQ(g_core.run_requested.load(), 0);
  trace();
  ASSERT_EQ(vexdaq_set_sample_rate(8000, 2000), 0);
  EXPECT_EQ(trace(), (Lines{"21 D1 0000 0000 0008 : D0 07 00 00 40 1F 00 00"}));
  EXPECT_EQ(g_stream.streaming.load(), 0);
}

TEST_F(ConfigCommands, GetSampleRateReadsBackTheRatesSet) {
  ASSERT_EQ(vexdaq_set_sample_rate(16000, 48000), 0);
  EXPECT_EQ(trace_after_flush(), (Lines{"21 D1 0000 0000 0008 : 80 BB 00 00 80 3E 00 00"}));
  int32_t out_rate = 0, in_rate = 0;
  EXPECT_EQ(vexdaq_get_sample_rate(&out_rate, &in_rate), 0);
  EXPECT_EQ(out_rate, 16000);
  EXPECT_EQ(in_rate, 48000);
  EXPECT_EQ(vexdaq_get_sample_rate(nullptr, nullptr), 0);  // still asks
  EXPECT_EQ(trace(), (Lines{"A1 D1 0000 0000 0008", "A1 D1 0000 0000 0008"}));
}

TEST_F(ConfigCommands, GetSampleRateRefusesAShortReply) {
  ASSERT_EQ(vexdaq_set_sample_rate(16000, 48000), 0);
  ASSERT_EQ(vexdaq_sim_fault(sim_, "short_reply=0xD1:4"), 0);
  int32_t out_rate = -5, in_rate = -5;
  EXPECT_EQ(vexdaq_get_sample_rate(&out_rate, &in_rate), -1);
  EXPECT_EQ(out_rate, -5);
  EXPECT_EQ(in_rate, -5);
}

TEST_F(ConfigCommands, GetSampleRateReportsAFailedRequest) {
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_request=0xD1:0xC0000004"), 0);
  int32_t out_rate = -5, in_rate = -5;
  EXPECT_EQ(vexdaq_get_sample_rate(&out_rate, &in_rate), -1);
  EXPECT_EQ(out_rate, -5);
  EXPECT_TRUE(log_has("PIPE0_CLASS_IN Request (0xD1) failed, status = 0xC0000004.\n"));
}

TEST_F(ConfigCommands, SampleWidthIsTheInputWidthInBytes) {
  int32_t width = 0;
  EXPECT_EQ(vexdaq_get_sample_width(&width), 0);
  EXPECT_EQ(width, 2);
  EXPECT_EQ(vexdaq_get_sample_width(nullptr), 0);
  EXPECT_EQ(trace(), (Lines{"A1 D3 0000 0000 0004", "A1 D3 0000 0000 0004"}));
}

TEST_F(ConfigCommands, WidthAndCountQueriesThatFailGiveMinusTwo) {
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_request=0xD3:0xC0000004"), 0);
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_request=0xD5:0xC0000004"), 0);
  int32_t width = -7, out_count = -7, in_count = -7;
  EXPECT_EQ(vexdaq_get_sample_width(&width), -2);
  EXPECT_EQ(vexdaq_get_channel_count(&out_count, &in_count), -2);
  EXPECT_EQ(width, -7);
  EXPECT_EQ(out_count, -7);
  EXPECT_EQ(in_count, -7);
}

TEST_F(ConfigCommands, ChannelCountsAreReported) {
  int32_t out_count = 0, in_count = 0;
  EXPECT_EQ(vexdaq_get_channel_count(&out_count, &in_count), 0);
  EXPECT_EQ(out_count, 2);
  EXPECT_EQ(in_count, 8);
  EXPECT_EQ(trace(), (Lines{"A1 D5 0000 0000 0004"}));
}

TEST_F(ConfigCommands, CanSampleRateSearchesTheInputListOnlyForFlagOne) {
  EXPECT_EQ(vexdaq_can_sample_rate(48000, 1), 0);
  EXPECT_EQ(vexdaq_can_sample_rate(16000, 1), -1);
  EXPECT_EQ(vexdaq_can_sample_rate(16000, 0), 0);
  EXPECT_EQ(vexdaq_can_sample_rate(16000, 2), 0);
  EXPECT_EQ(vexdaq_can_sample_rate(48000, 2), -1);
  EXPECT_EQ(trace(), Lines{});
}

TEST_F(ConfigCommands, InputGearGoesPerChannelWithTheGearMaskedToThreeBits) {
  EXPECT_EQ(vexdaq_set_input_gear(0x8000000000000001ull, 0, 13), 0);
  EXPECT_EQ(vexdaq_set_input_gear(1ull << 5, 0, 3), 0);
  EXPECT_EQ(vexdaq_set_input_gear(1ull << 1, 1, 3), 0);
  EXPECT_EQ(trace_after_flush(), (Lines{"41 3D 0000 8000 0001 : 05", "41 3D 0000 BF00 0001 : 05",
                                        "41 3D 0000 8500 0001 : 03", "41 3D 0000 8100 0001 : 08"}));
}

TEST_F(ConfigCommands, InputIcpGoesPerChannelUnchanged) {
  EXPECT_EQ(vexdaq_set_input_icp(0x6, 0xA5), 0);
  EXPECT_EQ(trace_after_flush(), (Lines{"41 3F 0000 8100 0001 : A5", "41 3F 0000 8200 0001 : A5"}));
}

TEST_F(ConfigCommands, OnlyTheLowSevenBitsOfAChannelCount) {
  post_message(MSG_IN_LEVEL, 130, 3, 0, nullptr);
  EXPECT_EQ(trace_after_flush(), (Lines{"41 3D 0000 8200 0001 : 03"}));
}

TEST_F(ConfigCommands, AFailedCommandIsLoggedAndStillReturnsZero) {
  ASSERT_EQ(vexdaq_sim_fault(sim_, "fail_request=0xD9:0xC0000004"), 0);
  EXPECT_EQ(vexdaq_set_trigger_mode(1, 2, 3, 4, 5, 0), 0);
  EXPECT_TRUE(log_has("PIPE0_CLASS_OUT failed, status = 0xC0000004.\n"));
}

class ConfigCommandsNoOutputs : public CommandsTest {
 protected:
  const char *profile() const override { return "in_channels=4;out_channels=0"; }
};

TEST_F(ConfigCommandsNoOutputs, ASideWithoutChannelsIsReportedAsTwo) {
  int32_t out_count = 0, in_count = 0;
  EXPECT_EQ(vexdaq_get_channel_count(&out_count, &in_count), 0);
  EXPECT_EQ(out_count, 2);
  EXPECT_EQ(in_count, 4);
}

}  // namespace
}  // namespace vexdaq::testing
