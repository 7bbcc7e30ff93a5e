// The command-to-request table: request codes, directions and receipt lines (the bytes on the wire
// are checked against the virtual instrument's trace), and the counter reply's decoding.
#include "protocol/request_catalogue.h"

#include <gtest/gtest.h>

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

TEST(RequestRecords, CounterReadingDecodesFourLittleEndianWords) {
  const uint8_t reply[kCounterReadingSize] = {1,    0,    0,    0,    0x10, 0x27, 0, 0,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0, 0x80};
  const CounterReading r = decode_counter_reading(reply);
  EXPECT_EQ(r.edge_count, 1u);
  EXPECT_EQ(r.cycle_width, 10000u);
  EXPECT_EQ(r.positive_pulse_width, 0xFFFFFFFFu);
  EXPECT_EQ(r.negative_pulse_width, 0x80000000u);
}

}  // namespace
}  // namespace vexdaq
