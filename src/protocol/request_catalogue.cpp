#include "protocol/request_catalogue.h"

#include <iterator>

#include "protocol/little_endian.h"
#include "protocol/usbio_records.h"

namespace vexdaq {
namespace {

constexpr uint32_t kClass = kRequestTypeClass;
constexpr uint32_t kVendor = kRequestTypeVendor;
constexpr bool kIn = true;
constexpr bool kOut = false;

using I = IndexRule;
using V = ValueRule;
using P = PayloadRule;

// clang-format off
constexpr RequestEntry kCatalogue[] = {
  {MSG_START,          REQ_STREAM_START,   kClass,  kOut, I::kZero,         V::kZero,     P::kNone,          "Message START received\r\n"},
  {MSG_STOP,           REQ_STREAM_STOP,    kClass,  kOut, I::kZero,         V::kZero,     P::kNone,          "Message STOP received\r\n"},
  {MSG_TRIGGER_MODE,   REQ_TRIGGER_MODE,   kVendor, kOut, I::kSide,         V::kZero,     P::kPoster,        "Message trigger mode received\r\n"},
  {MSG_SAMPLE_MODE,    REQ_SAMPLE_MODE,    kVendor, kOut, I::kSide,         V::kZero,     P::kPoster,        "Message sample mode received\r\n"},
  {MSG_SAMPLE_RATE,    REQ_SAMPLE_RATE,    kClass,  kOut, I::kZero,         V::kZero,     P::kRateRecord,    "Message Sample Rate received\r\n"},
  {MSG_IN_LEVEL,       REQ_IN_LEVEL,       kVendor, kOut, I::kInputChannel, V::kZero,     P::kSecondaryByte, "Message IN Level received\r\n"},
  {MSG_IN_ICP,         REQ_IN_ICP,         kVendor, kOut, I::kInputChannel, V::kZero,     P::kSecondaryByte, "Message IN ICP received\r\n"},
  {MSG_GPIO_MODE,      REQ_GPIO_MODE,      kVendor, kOut, I::kChannel,      V::kZero,     P::kSecondaryByte, "Message GPIO mode received\r\n"},
  {MSG_DIO_WRITE,      REQ_DIO_WRITE,      kVendor, kOut, I::kChannel,      V::kZero,     P::kPoster,        "Message digital io write received\r\n"},
  {MSG_DIO_READ,       REQ_DIO_READ,       kVendor, kIn,  I::kChannel,      V::kZero,     P::kPoster,        "Message digital io read received\r\n"},
  {MSG_PWM_SET,        REQ_PWM_SET,        kVendor, kOut, I::kChannel,      V::kZero,     P::kPoster,        "Message PWM SET received\r\n"},
  {MSG_COUNTER_SET,    REQ_COUNTER_SET,    kVendor, kOut, I::kChannel,      V::kZero,     P::kPoster,        "Message COUNTER SET received\r\n"},
  {MSG_COUNTER_READ,   REQ_COUNTER_READ,   kVendor, kIn,  I::kChannel,      V::kZero,     P::kPoster,        "Message COUNTER READ received\r\n"},
  {MSG_UART_LINE_CODE, REQ_UART_LINE_CODE, kClass,  kOut, I::kZero,         V::kZero,     P::kLineCoding,    "Message UART Line Code received\r\n"},
  {MSG_I2C_WRITE,      REQ_I2C_WRITE,      kClass,  kOut, I::kZero,         V::kRegister, P::kPoster,        "Message i2c write received\r\n"},
  {MSG_I2C_READ,       REQ_I2C_READ,       kClass,  kIn,  I::kZero,         V::kRegister, P::kPoster,        "Message i2c read received\r\n"},
};
// clang-format on

}  // namespace

const RequestEntry *find_request(uint32_t msg_id) {
  for (const RequestEntry &entry : kCatalogue) {
    if (entry.msg_id == msg_id) return &entry;
  }
  return nullptr;
}

const RequestEntry *request_catalogue_begin() {
  return std::begin(kCatalogue);
}

const RequestEntry *request_catalogue_end() {
  return std::end(kCatalogue);
}

uint16_t request_index(IndexRule rule, int32_t primary) {
  const uint16_t channel = static_cast<uint16_t>((static_cast<uint32_t>(primary) & 0x7F) << 8);
  switch (rule) {
    case IndexRule::kZero:
      return 0;
    case IndexRule::kSide:
      return (primary & 1) ? 0x8000 : 0;
    case IndexRule::kInputChannel:
      return static_cast<uint16_t>(0x8000 | channel);
    case IndexRule::kChannel:
      return channel;
  }
  return 0;
}

uint16_t request_value(ValueRule rule, int32_t primary) {
  return rule == ValueRule::kRegister ? static_cast<uint16_t>(primary & 0xFFFF) : 0;
}

std::array<uint8_t, kRateRecordSize> rate_record(int32_t in_rate, int32_t out_rate) {
  std::array<uint8_t, kRateRecordSize> record{};
  put_le32(&record[0], static_cast<uint32_t>(in_rate));
  put_le32(&record[4], static_cast<uint32_t>(out_rate));
  return record;
}

std::array<uint8_t, kLineCodingSize> line_coding(int32_t rate, int32_t packed_format) {
  std::array<uint8_t, kLineCodingSize> record{};
  const uint32_t format = static_cast<uint32_t>(packed_format);
  put_le32(&record[0], static_cast<uint32_t>(rate));
  record[4] = static_cast<uint8_t>(format);
  record[5] = static_cast<uint8_t>(format >> 8);
  record[6] = static_cast<uint8_t>(format >> 16);
  return record;
}

int32_t pack_line_format(uint8_t stop_bits, uint8_t parity, uint8_t data_bits) {
  return static_cast<int32_t>(stop_bits | parity << 8 | data_bits << 16);
}

std::array<uint8_t, kTriggerRecordSize> trigger_record(int32_t mode, uint8_t source, uint8_t edge,
                                                       int32_t level, int32_t pre_samples) {
  std::array<uint8_t, kTriggerRecordSize> record{};
  record[0] = static_cast<uint8_t>(mode);
  record[1] = source;
  record[2] = edge;
  record[3] = static_cast<uint8_t>(level);
  put_le32(&record[4], static_cast<uint32_t>(pre_samples));
  return record;
}

std::array<uint8_t, kSampleModeRecordSize> sample_mode_record(int32_t mode, uint8_t option,
                                                              int32_t count) {
  return {static_cast<uint8_t>(mode), option, static_cast<uint8_t>(count)};
}

std::array<uint8_t, kPwmRecordSize> pwm_record(int32_t frequency, int32_t duty) {
  std::array<uint8_t, kPwmRecordSize> record{};
  put_le32(&record[0], static_cast<uint32_t>(frequency));
  put_le32(&record[4], static_cast<uint32_t>(duty));
  return record;
}

std::array<uint8_t, kCounterSetupSize> counter_setup(int32_t mode, int32_t edge) {
  return {static_cast<uint8_t>(mode), static_cast<uint8_t>(edge)};
}

CounterReading decode_counter_reading(const uint8_t (&bytes)[kCounterReadingSize]) {
  CounterReading reading;
  reading.edge_count = get_le32(&bytes[0]);
  reading.cycle_width = get_le32(&bytes[4]);
  reading.positive_pulse_width = get_le32(&bytes[8]);
  reading.negative_pulse_width = get_le32(&bytes[12]);
  return reading;
}

uint8_t gear_code(uint8_t force_gear8, uint8_t gear) {
  return force_gear8 != 0 ? 8 : static_cast<uint8_t>(gear & 7);
}

}  // namespace vexdaq
