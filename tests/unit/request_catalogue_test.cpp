// The command-to-request table and the record layouts, checked byte for byte against the device
// protocol.
#include "core/request_catalogue.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <vector>

namespace vexdaq {
namespace {

uint8_t bm_request_type(const RequestEntry &entry) {
  const uint8_t direction = entry.device_to_host ? 0x80 : 0x00;
  const uint8_t type = entry.type == kRequestTypeClass ? 0x20 : 0x40;
  return direction | type | 0x01;  // recipient interface
}

struct Expected {
  uint32_t msg_id;
  uint8_t bm_request_type;
  uint8_t request;
  const char *receipt_line;
};

TEST(RequestCatalogue, EveryCommandMessageMapsToItsRequest) {
  const std::vector<Expected> expected = {
      {MSG_START, 0x21, 0xFE, "Message START received\r\n"},
      {MSG_STOP, 0x21, 0xFD, "Message STOP received\r\n"},
      {MSG_TRIGGER_MODE, 0x41, 0xD9, "Message trigger mode received\r\n"},
      {MSG_SAMPLE_MODE, 0x41, 0xD7, "Message sample mode received\r\n"},
      {MSG_SAMPLE_RATE, 0x21, 0xD1, "Message Sample Rate received\r\n"},
      {MSG_IN_LEVEL, 0x41, 0x3D, "Message IN Level received\r\n"},
      {MSG_IN_ICP, 0x41, 0x3F, "Message IN ICP received\r\n"},
      {MSG_GPIO_MODE, 0x41, 0xE8, "Message GPIO mode received\r\n"},
      {MSG_DIO_WRITE, 0x41, 0xE6, "Message digital io write received\r\n"},
      {MSG_DIO_READ, 0xC1, 0xE7, "Message digital io read received\r\n"},
      {MSG_PWM_SET, 0x41, 0xC5, "Message PWM SET received\r\n"},
      {MSG_COUNTER_SET, 0x41, 0xC4, "Message COUNTER SET received\r\n"},
      {MSG_COUNTER_READ, 0xC1, 0xC3, "Message COUNTER READ received\r\n"},
      {MSG_UART_LINE_CODE, 0x21, 0xE5, "Message UART Line Code received\r\n"},
      {MSG_I2C_WRITE, 0x21, 0xE1, "Message i2c write received\r\n"},
      {MSG_I2C_READ, 0xA1, 0xE2, "Message i2c read received\r\n"},
  };
  for (const Expected &e : expected) {
    SCOPED_TRACE(e.msg_id);
    const RequestEntry *entry = find_request(e.msg_id);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(bm_request_type(*entry), e.bm_request_type);
    EXPECT_EQ(entry->request, e.request);
    EXPECT_STREQ(entry->receipt_line, e.receipt_line);
  }
  EXPECT_EQ(request_catalogue_end() - request_catalogue_begin(),
            static_cast<std::ptrdiff_t>(expected.size()));
}

TEST(RequestCatalogue, ExitAndUnknownTypesMakeNoRequest) {
  EXPECT_EQ(find_request(MSG_EXIT), nullptr);
  EXPECT_EQ(find_request(0), nullptr);
  EXPECT_EQ(find_request(0x4A6), nullptr);
}

TEST(RequestCatalogue, EachMessageTypeAppearsOnce) {
  std::set<uint32_t> seen;
  for (const RequestEntry *e = request_catalogue_begin(); e != request_catalogue_end(); ++e) {
    EXPECT_TRUE(seen.insert(e->msg_id).second) << e->msg_id;
  }
}

TEST(RequestIndex, InputChannelsSetBit15AndTakeTheLowSevenBits) {
  EXPECT_EQ(request_index(find_request(MSG_IN_LEVEL)->index_rule, 5), 0x8500);
  EXPECT_EQ(request_index(find_request(MSG_IN_ICP)->index_rule, 63), 0xBF00);
  EXPECT_EQ(request_index(IndexRule::kInputChannel, 130), 0x8200);  // 130 is channel 2
  EXPECT_EQ(request_index(IndexRule::kInputChannel, -1), 0xFF00);
}

TEST(RequestIndex, PinsAndPortsAreNotSideSpecific) {
  EXPECT_EQ(request_index(find_request(MSG_GPIO_MODE)->index_rule, 7), 0x0700);
  EXPECT_EQ(request_index(find_request(MSG_DIO_WRITE)->index_rule, 1), 0x0100);
  EXPECT_EQ(request_index(find_request(MSG_PWM_SET)->index_rule, 0x85), 0x0500);
  EXPECT_EQ(request_index(find_request(MSG_COUNTER_READ)->index_rule, 127), 0x7F00);
}

TEST(RequestIndex, ModesSelectTheSideByBitZeroOnly) {
  const IndexRule rule = find_request(MSG_TRIGGER_MODE)->index_rule;
  EXPECT_EQ(request_index(rule, 0), 0);
  EXPECT_EQ(request_index(rule, 1), 0x8000);
  EXPECT_EQ(request_index(rule, 2), 0);
  EXPECT_EQ(request_index(find_request(MSG_SAMPLE_MODE)->index_rule, 3), 0x8000);
}

TEST(RequestIndex, ClassRequestsUseIndexZeroAndI2cTheRegisterAsValue) {
  EXPECT_EQ(request_index(find_request(MSG_I2C_WRITE)->index_rule, 0x1234), 0);
  EXPECT_EQ(request_value(find_request(MSG_I2C_WRITE)->value_rule, 0x1234), 0x1234);
  EXPECT_EQ(request_value(find_request(MSG_I2C_READ)->value_rule, 0x12345), 0x2345);
  EXPECT_EQ(request_value(find_request(MSG_IN_LEVEL)->value_rule, 5), 0);
  EXPECT_EQ(request_index(find_request(MSG_SAMPLE_RATE)->index_rule, 48000), 0);
}

using Bytes = std::vector<uint8_t>;
template <size_t N>
Bytes bytes(const std::array<uint8_t, N> &a) {
  return Bytes(a.begin(), a.end());
}

TEST(RequestRecords, LineCodingIsTheCdcLayout) {
  EXPECT_EQ(bytes(line_coding(115200, pack_line_format(0, 0, 8))),
            (Bytes{0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}));
  EXPECT_EQ(bytes(line_coding(9600, pack_line_format(2, 1, 7))),
            (Bytes{0x80, 0x25, 0x00, 0x00, 0x02, 0x01, 0x07}));
}

TEST(RequestRecords, RateRecordPutsTheInputRateFirst) {
  EXPECT_EQ(bytes(rate_record(48000, 96000)),
            (Bytes{0x80, 0xBB, 0x00, 0x00, 0x00, 0x77, 0x01, 0x00}));
}

TEST(RequestRecords, TriggerAndSampleModeTakeLowBytesInArgumentOrder) {
  EXPECT_EQ(bytes(trigger_record(0x101, 2, 3, -1, 0x12345678)),
            (Bytes{0x01, 0x02, 0x03, 0xFF, 0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(bytes(sample_mode_record(0x1FF, 7, 0x302)), (Bytes{0xFF, 0x07, 0x02}));
}

TEST(RequestRecords, PwmAndCounterSetup) {
  EXPECT_EQ(bytes(pwm_record(1000, -2)), (Bytes{0xE8, 0x03, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(bytes(counter_setup(0x102, 0x201)), (Bytes{0x02, 0x01}));
}

TEST(RequestRecords, CounterReadingDecodesFourLittleEndianWords) {
  const uint8_t reply[kCounterReadingSize] = {1,    0,    0,    0,    0x10, 0x27, 0, 0,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0, 0x80};
  const CounterReading r = decode_counter_reading(reply);
  EXPECT_EQ(r.edge_count, 1u);
  EXPECT_EQ(r.cycle_width, 10000u);
  EXPECT_EQ(r.positive_pulse_width, 0xFFFFFFFFu);
  EXPECT_EQ(r.negative_pulse_width, 0x80000000u);
}

TEST(RequestRecords, GearIsForcedToEightOrMaskedToThreeBits) {
  EXPECT_EQ(gear_code(0, 3), 3);
  EXPECT_EQ(gear_code(0, 13), 5);
  EXPECT_EQ(gear_code(1, 3), 8);
  EXPECT_EQ(gear_code(0xFF, 0), 8);
}

}  // namespace
}  // namespace vexdaq
