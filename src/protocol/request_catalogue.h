// The device's control-request protocol as one table: which request each command message becomes,
// how its value, index and data stage are formed, and the line the core logs on receipt. Also the
// byte layouts of the records those requests carry.
//
// Everything here is pure (no I/O, no session state) and may be used from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/message.h"
#include "protocol/requests.h"

namespace vexdaq {

// How the request's wIndex is formed from the message's `primary`.
enum class IndexRule : uint8_t {
  kZero,          // 0
  kSide,          // bit 0 of primary selects the input side: 0x8000 or 0
  kInputChannel,  // 0x8000 | channel << 8: an analog input
  kChannel,       // channel << 8: a pin or port, not side-specific
};

// How the request's wValue is formed.
enum class ValueRule : uint8_t {
  kZero,
  kRegister,  // the low 16 bits of primary
};

// Where the data stage comes from.
enum class PayloadRule : uint8_t {
  kNone,           // no data stage
  kRateRecord,     // 8 bytes built from secondary (input rate) and primary (output rate)
  kLineCoding,     // 7 bytes built from primary (rate) and secondary (packed format bytes)
  kSecondaryByte,  // one byte: the low byte of secondary
  kPoster,         // data_length bytes at payload (the poster's buffer; filled for IN requests)
};

struct RequestEntry {
  uint32_t msg_id;
  uint8_t request;      // REQ_ code
  uint32_t type;        // kRequestTypeClass or kRequestTypeVendor
  bool device_to_host;  // PIPE0_CLASS_IN when true, PIPE0_CLASS_OUT otherwise
  IndexRule index_rule;
  ValueRule value_rule;
  PayloadRule payload_rule;
  const char *receipt_line;  // logged at level 1 when the core takes the message
};

// The catalogue entry for a message type, or null for a type that makes no control request of
// its own (MSG_EXIT, unknown codes). MSG_START and MSG_STOP are listed for their request and
// receipt line, though the core thread carries them out itself.
const RequestEntry *find_request(uint32_t msg_id);

// The whole table, in message-code order.
const RequestEntry *request_catalogue_begin();
const RequestEntry *request_catalogue_end();

// wIndex for a message: channel, pin or port from the low 7 bits of primary into bits 14-8, and
// bit 15 for the input side, as the rule says.
uint16_t request_index(IndexRule rule, int32_t primary);
uint16_t request_value(ValueRule rule, int32_t primary);

// ---- Record layouts (all multi-byte fields little-endian) -----------------------------------

inline constexpr size_t kRateRecordSize = 8;
inline constexpr size_t kLineCodingSize = 7;
inline constexpr size_t kTriggerRecordSize = 8;
inline constexpr size_t kSampleModeRecordSize = 3;
inline constexpr size_t kPwmRecordSize = 8;
inline constexpr size_t kCounterSetupSize = 2;
inline constexpr size_t kCounterReadingSize = 16;

// Bytes 0-3 input rate, bytes 4-7 output rate.
std::array<uint8_t, kRateRecordSize> rate_record(int32_t in_rate, int32_t out_rate);

// The line-coding record of the USB CDC class: rate, then stop-bit format, parity, data bits.
// `packed_format` holds them in bits 0-7, 8-15 and 16-23, as the message's secondary carries them.
std::array<uint8_t, kLineCodingSize> line_coding(int32_t rate, int32_t packed_format);
int32_t pack_line_format(uint8_t stop_bits, uint8_t parity, uint8_t data_bits);

// Low bytes of the first four settings, then the fifth as 32 bits.
std::array<uint8_t, kTriggerRecordSize> trigger_record(int32_t mode, uint8_t source, uint8_t edge,
                                                       int32_t level, int32_t pre_samples);
std::array<uint8_t, kSampleModeRecordSize> sample_mode_record(int32_t mode, uint8_t option,
                                                              int32_t count);
std::array<uint8_t, kPwmRecordSize> pwm_record(int32_t frequency, int32_t duty);
std::array<uint8_t, kCounterSetupSize> counter_setup(int32_t mode, int32_t edge);

struct CounterReading {
  uint32_t edge_count = 0;
  uint32_t cycle_width = 0;
  uint32_t positive_pulse_width = 0;
  uint32_t negative_pulse_width = 0;
};
CounterReading decode_counter_reading(const uint8_t (&bytes)[kCounterReadingSize]);

// The gear code the device receives: 8 when forced, otherwise the caller's code 0 to 7.
uint8_t gear_code(uint8_t force_gear8, uint8_t gear);

}  // namespace vexdaq
