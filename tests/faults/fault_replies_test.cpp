// The device refusing requests, answering short, answering garbage, and describing itself
// absurdly: every call still returns what its contract says, writes nothing beyond the caller's
// buffer, and the session goes on.
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "faults/fault_fixture.h"
#include "session/session_state.h"
#include "stream/stream_state.h"

namespace vexdaq::testing {
namespace {

using Replies = FaultTest;

std::string hex2(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

constexpr int32_t kAny = INT32_MIN;

// One request of the device protocol and an export that sends it.
struct Request {
  int code;
  bool device_to_host;
  int32_t failed_result;  // what the export returns when the request fails (kAny: a length)
  std::function<int32_t()> call;
};

std::vector<Request> every_request() {
  static uint8_t buffer[64];
  static int32_t a, b;
  static uint32_t w, x, y, z;
  static char text[64];
  return {
      {0x13, true, kAny, [] { return vexdaq_get_device_version(text, sizeof text); }},
      {0xD1, false, 0, [] { return vexdaq_set_sample_rate(2000, 2000); }},
      {0xD1, true, -1, [] { return vexdaq_get_sample_rate(&a, &b); }},
      {0xD3, true, -2, [] { return vexdaq_get_sample_width(&a); }},
      {0xD5, true, -2, [] { return vexdaq_get_channel_count(&a, &b); }},
      {0xE1, false, 0, [] { return vexdaq_I2C_Reg_Write(0x10, buffer, 4); }},
      {0xE2, true, 0, [] { return vexdaq_I2C_Reg_Read(0x10, buffer, 4); }},
      {0xE5, false, 0, [] { return vexdaq_set_uart_line_code(115200, 0, 0, 8); }},
      {0x3D, false, 0, [] { return vexdaq_set_input_gear(0x1, 0, 2); }},
      {0x3F, false, 0, [] { return vexdaq_set_input_icp(0x1, 1); }},
      {0xC3, true, 0, [] { return vexdaq_counter_read(1, &w, &x, &y, &z); }},
      {0xC4, false, 0, [] { return vexdaq_set_counter(1, 1, 0); }},
      {0xC5, false, 0, [] { return vexdaq_set_pwm(1, 1000, 50); }},
      {0xD7, false, 0, [] { return vexdaq_set_sample_mode(1, 0, 100, 1); }},
      {0xD9, false, 0, [] { return vexdaq_set_trigger_mode(1, 0, 1, 10, 0, 1); }},
      {0xE6, false, 0, [] { return vexdaq_digital_io_write(0, buffer, 1); }},
      {0xE7, true, 0, [] { return vexdaq_digital_io_read(0, buffer, 1); }},
      {0xE8, false, 0, [] { return vexdaq_set_gpio_mode(0x1, 1); }},
      {0xFE, false, 0, [] { return vexdaq_start(); }},
      {0xFD, false, 0, [] { return vexdaq_stop(); }},
      {0x12, false, 0, [] { return vexdaq_serial_download("SN1", 3); }},
  };
}

// Each request refused in turn, with a status of its own: the export returns its documented
// result, the log names the status, and once the device accepts it again it works.
TEST_F(Replies, EveryRequestFailingInTurnIsReportedAndTheSessionGoesOn) {
  const int32_t id = open();
  for (const Request &request : every_request()) {
    SCOPED_TRACE("request 0x" + hex2(request.code));
    const std::string status = "0xC0DE00" + hex2(request.code);
    const std::string line = request.device_to_host
                                 ? "PIPE0_CLASS_IN Request (0x" + hex2(request.code) +
                                       ") failed, status = " + status + "."
                                 : "PIPE0_CLASS_OUT failed, status = " + status;
    ASSERT_EQ(vexdaq_sim_fault(id, ("fail_request=0x" + hex2(request.code) + ":" + status).c_str()),
              0);
    const int32_t result = request.call();
    if (request.failed_result != kAny) {
      EXPECT_EQ(result, request.failed_result);
    }
    // A synchronous command of another request: every queued request has gone out.
    const auto flush = [&] {
      uint8_t port = 0;
      if (request.code == 0xE7) return vexdaq_set_pwm(1, 100, 10);
      return vexdaq_digital_io_read(0, &port, 1);
    };
    ASSERT_EQ(flush(), 0);
    const std::string log = read_log();
    EXPECT_EQ(count_of(log, line), 1) << line;

    ASSERT_EQ(vexdaq_sim_fault(id, ("fail_request=0x" + hex2(request.code) + ":0").c_str()), 0);
    request.call();
    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(count_of(read_log(), line), 1) << "accepted again";
  }
  EXPECT_EQ(g_stream.streaming.load(), 0);
  EXPECT_NE(g_session.session_token.load(), 0u);
}

// A refused start or stop still moves the session's own state, so a later start or stop is not
// refused by a stale flag.
TEST_F(Replies, RefusedStartAndStopChangeTheFlagsAsIfAccepted) {
  const int32_t id = open();
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_request=0xFE"), 0);
  ASSERT_EQ(vexdaq_sim_fault(id, "fail_request=0xFD"), 0);
  EXPECT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(g_stream.streaming.load(), 1);
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(g_stream.streaming.load(), 0);
  ASSERT_EQ(vexdaq_sim_fault(id, "clear"), 0);
  EXPECT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(vexdaq_sim_counter(id, "stream_starts"), 1);
}

constexpr uint8_t kGuard = 0xCC;

// A buffer with guard bytes on both sides, to show that a reply lands inside it.
struct Guarded {
  explicit Guarded(size_t size, uint8_t fill) : bytes(size + 64, kGuard) {
    std::memset(data(), fill, size);
    this->size = size;
  }
  uint8_t *data() { return bytes.data() + 32; }
  bool guards_intact() const {
    for (size_t i = 0; i < 32; ++i) {
      if (bytes[i] != kGuard || bytes[32 + size + i] != kGuard) return false;
    }
    return true;
  }
  std::vector<uint8_t> bytes;
  size_t size = 0;
};

// Cut replies of every reading request: what arrived is used, the rest of the caller's buffer
// keeps its contents, and nothing is written past it.
TEST_F(Replies, ShortRepliesStayInsideTheCallersBuffer) {
  const int32_t id = open("uart_loop=1");
  for (int cut : {0, 1, 3}) {
    SCOPED_TRACE("cut to " + std::to_string(cut));
    for (const char *code : {"0xE7", "0xE2", "0xC3", "0xD1", "0xD3", "0xD5", "0x13"}) {
      ASSERT_EQ(vexdaq_sim_fault(
                    id, (std::string("short_reply=") + code + ":" + std::to_string(cut)).c_str()),
                0);
    }
    Guarded port(1, 0x5A);
    EXPECT_EQ(vexdaq_digital_io_read(0, port.data(), 1), 0);
    EXPECT_TRUE(port.guards_intact());
    if (cut == 0) {
      EXPECT_EQ(port.data()[0], 0x5A) << "nothing came: the byte is kept";
    }

    Guarded i2c(16, 0x77);
    EXPECT_EQ(vexdaq_I2C_Reg_Read(0x20, i2c.data(), 16), 0);
    EXPECT_TRUE(i2c.guards_intact());
    for (int i = cut; i < 16; ++i) EXPECT_EQ(i2c.data()[i], 0x77) << i;

    uint32_t counters[4] = {1, 1, 1, 1};
    EXPECT_EQ(vexdaq_counter_read(2, &counters[0], &counters[1], &counters[2], &counters[3]), 0);
    EXPECT_EQ(counters[3], 0u) << "the part that never came reads as zero";

    int32_t out_rate = 7, in_rate = 7;
    EXPECT_EQ(vexdaq_get_sample_rate(&out_rate, &in_rate), -1);
    int32_t width = 7, out_count = 7, in_count = 7;
    EXPECT_EQ(vexdaq_get_sample_width(&width), -2);
    EXPECT_EQ(vexdaq_get_channel_count(&out_count, &in_count), -2);
    EXPECT_EQ(g_device.in_channel_count.load(), 8) << "a cut reply changes nothing";

    char version[64];
    std::memset(version, 'x', sizeof version);
    const int32_t length = vexdaq_get_device_version(version, 32);
    EXPECT_GT(length, 0);
    EXPECT_LT(length, 32);
    EXPECT_EQ(version[length], '\0');
    EXPECT_EQ(version[40], 'x');
    ASSERT_EQ(vexdaq_sim_fault(id, "clear"), 0);
  }
}

// Replies of all-ones bytes, and replies padded to the whole length asked for.
TEST_F(Replies, GarbageAndPaddedRepliesStayInsideTheCallersBuffer) {
  const int32_t id = open();
  for (const char *kind : {"malformed=", "long_reply="}) {
    SCOPED_TRACE(kind);
    for (const char *code : {"0xE7", "0xE2", "0xC3", "0xD1", "0xD3", "0xD5", "0x13"}) {
      std::string fault = std::string(kind) + code;
      if (fault.rfind("long_reply", 0) == 0) fault += ":4096";
      ASSERT_EQ(vexdaq_sim_fault(id, fault.c_str()), 0) << fault;
    }
    Guarded port(1, 0);
    EXPECT_EQ(vexdaq_digital_io_read(0, port.data(), 1), 0);
    EXPECT_TRUE(port.guards_intact());
    Guarded i2c(5, 0);
    EXPECT_EQ(vexdaq_I2C_Reg_Read(0x20, i2c.data(), 5), 0);
    EXPECT_TRUE(i2c.guards_intact());
    // A length beyond what a control transfer carries is refused or cut, never overrun.
    Guarded big(70000, 0);
    EXPECT_EQ(vexdaq_I2C_Reg_Read(0x20, big.data(), 70000), 0);
    EXPECT_TRUE(big.guards_intact());
    uint32_t counters[4] = {};
    EXPECT_EQ(vexdaq_counter_read(2, &counters[0], &counters[1], &counters[2], &counters[3]), 0);
    int32_t out_rate = 0, in_rate = 0, width = 0, out_count = 0, in_count = 0;
    vexdaq_get_sample_rate(&out_rate, &in_rate);
    vexdaq_get_sample_width(&width);
    EXPECT_GE(vexdaq_get_channel_count(&out_count, &in_count), -2);
    EXPECT_GE(g_device.in_channel_count.load(), 0);
    EXPECT_LE(g_device.in_channel_count.load(), 64);
    EXPECT_GE(g_device.out_channel_count.load(), 0);
    EXPECT_LE(g_device.out_channel_count.load(), 64);
    char name[32];
    EXPECT_GE(vexdaq_get_device_name(name), 0);
    EXPECT_LT(std::strlen(name), sizeof name);
    // With whatever widths and counts the garbage gave, the data path stays safe.
    EXPECT_EQ(vexdaq_create_buffers(256, 256) >= -2, true);
    EXPECT_EQ(vexdaq_set_input_channel(~uint64_t{0}), 0);
    EXPECT_EQ(vexdaq_set_output_channel(~uint64_t{0}), 0);
    EXPECT_EQ(vexdaq_start(), 0);
    std::vector<uint8_t> samples(64 * 256 * 4);
    EXPECT_GE(vexdaq_recv_all_data(0, samples.data(), 64, 0), 0);
    EXPECT_GE(vexdaq_send_all_data(0, samples.data(), 64, 0), 0);
    EXPECT_EQ(vexdaq_stop(), 0);
    EXPECT_EQ(vexdaq_dispose_buffers(), 0);
    ASSERT_EQ(vexdaq_sim_fault(id, "clear"), 0);
  }
}

// ---- The instrument describing itself absurdly ------------------------------------------------

std::string rate_list(int count) {
  std::string list;
  for (int i = 0; i < count; ++i) list += (i ? "," : "") + std::to_string(1000 + i);
  return list;
}

class AbsurdCapabilities : public FaultTest, public ::testing::WithParamInterface<std::string> {};

// Whatever the device claims, the session comes up bounded, every export stays inside its tables,
// and a blocking call that can never be served comes back instead of waiting for ever.
TEST_P(AbsurdCapabilities, EveryCallStaysBoundedAndReturns) {
  // "!fault" plugs the default instrument with that fault on its replies.
  const std::string param = GetParam();
  const bool fault = !param.empty() && param[0] == '!';
  const int32_t id = plug("waveform=counter;pacing=free;" + (fault ? std::string() : param));
  if (fault) {
    ASSERT_EQ(vexdaq_sim_fault(id, param.c_str() + 1), 0);
  }
  ASSERT_EQ(vexdaq_device_open(0), 0);
  if (g_session.session_token.load() == 0) {
    EXPECT_EQ(vexdaq_start(), -1) << "an unusable session refuses";
    return;
  }
  EXPECT_GE(g_device.in_channel_count.load(), 0);
  EXPECT_LE(g_device.in_channel_count.load(), 64);
  EXPECT_GE(g_device.out_channel_count.load(), 0);
  EXPECT_LE(g_device.out_channel_count.load(), 64);
  EXPECT_LE(g_device.in_packet_size.load(), 512);
  EXPECT_LE(g_device.out_packet_size.load(), 512);
  std::vector<int32_t> rates(80, -7);
  const int32_t listed = vexdaq_get_sample_rates(1, rates.data(), 80);
  EXPECT_GE(listed, 0);
  EXPECT_LE(listed, 64);
  for (int i = 64; i < 80; ++i) EXPECT_EQ(rates[static_cast<size_t>(i)], -7);
  EXPECT_GE(vexdaq_can_sample_rate(1000, 1), -1);
  EXPECT_GE(vexdaq_can_sample_rate(1, 0), -1);

  const int32_t created = vexdaq_create_buffers(512, 512);
  EXPECT_GE(created, -2) << "refused or made, never half-made";
  EXPECT_EQ(vexdaq_set_input_channel(~uint64_t{0}), 0);
  EXPECT_EQ(vexdaq_set_output_channel(~uint64_t{0}), 0);
  EXPECT_EQ(vexdaq_start(), 0);
  std::vector<uint8_t> buffer(64 * 512 * 4 + 64, 0);
  // -1 once the stream has failed (a device whose frames no packet holds cannot stream).
  for (int32_t channel : {0, 7, 63, 64, 65535}) {
    EXPECT_GE(vexdaq_recv_data(channel, buffer.data(), 16, 0), -1);
    EXPECT_GE(vexdaq_send_data(channel, buffer.data(), 16, 0), -1);
  }
  EXPECT_GE(vexdaq_recv_all_data(0, buffer.data(), 64, 0), -1);
  EXPECT_GE(vexdaq_send_all_data(0, buffer.data(), 64, 0), -1);
  // A device that sends frames the packets cannot hold sends nothing at all; the library may
  // report that as a failed transfer, and the stream stops either way.
  EXPECT_EQ(vexdaq_stop(), 0);
  EXPECT_EQ(vexdaq_recv_data(0, buffer.data(), 64, 1),
            g_device.in_channel_count.load() == 0 ? 64 : 0)
      << "stopped: nothing to wait for";
  EXPECT_EQ(g_stream.core_failed.load(), 0);
  EXPECT_EQ(vexdaq_start(), 0);
  EXPECT_EQ(vexdaq_stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, AbsurdCapabilities,
    ::testing::Values("in_channels=0;out_channels=0", "in_channels=65;out_channels=65",
                      "in_channels=65535;out_channels=65535;in_bits=16;out_bits=16",
                      "in_bits=0;out_bits=0", "in_bits=8;out_bits=8", "in_bits=12;out_bits=12",
                      "in_bits=40;out_bits=40", "in_bits=64;out_bits=64", "in_rates=;out_rates=",
                      "in_rates=" + rate_list(63), "in_rates=" + rate_list(64),
                      "in_rates=" + rate_list(200) + ";out_rates=" + rate_list(200),
                      "!malformed=0xD0", "!malformed=0xD3", "!malformed=0xD5"));

}  // namespace
}  // namespace vexdaq::testing
