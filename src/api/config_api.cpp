// Acquisition configuration: trigger and sample modes, rates, input gear and ICP, and the width and
// channel-count queries.
#include <algorithm>

#include "api/api_guard.h"
#include "device/control_request.h"
#include "device/device_init.h"
#include "device/device_state.h"
#include "platform/thread.h"
#include "protocol/little_endian.h"
#include "protocol/request_catalogue.h"
#include "protocol/requests.h"
#include "session/log.h"
#include "session/message_queue.h"
#include "stream/stream_state.h"
#include "vexdaq/vexdaq.h"

using namespace vexdaq;

namespace {

// Posts one message per set bit of the mask, channel 0 first. -1 when the core is gone; a
// message dropped on a full queue is counted, not reported.
int32_t post_per_channel(uint32_t msg_id, uint64_t channel_mask, int32_t secondary) {
  for (int32_t channel = 0; channel < kMaxChannels; ++channel) {
    if (((channel_mask >> channel) & 1) && post_message(msg_id, channel, secondary, 0, nullptr) < 0)
      return -1;
  }
  return 0;
}

bool rate_listed(const int32_t *rates, int32_t count, int32_t rate) {
  const int32_t bounded = std::clamp(count, 0, kRateListCapacity);
  return std::find(rates, rates + bounded, rate) != rates + bounded;
}

}  // namespace

extern "C" {

int32_t vexdaq_set_trigger_mode(int32_t mode, uint8_t source, uint8_t edge, int32_t level,
                                int32_t pre_samples, uint8_t direction) {
  return api_guard("vexdaq_set_trigger_mode", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_trigger_mode (%d, %d, %d, %d, %d, %d)\r\n", mode,
              source, edge, level, pre_samples, direction);
    if (!session_usable()) return -1;
    auto record = trigger_record(mode, source, edge, level, pre_samples);
    return post_message(MSG_TRIGGER_MODE, direction, 0, kTriggerRecordSize, record.data()) == 0
               ? 0
               : -1;
  });
}

int32_t vexdaq_set_sample_mode(int32_t mode, uint8_t option, int32_t count, uint8_t direction) {
  return api_guard("vexdaq_set_sample_mode", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_sample_mode (%d, %d, %d, %d)\r\n", mode, option, count,
              direction);
    if (!session_usable()) return -1;
    auto record = sample_mode_record(mode, option, count);
    return post_message(MSG_SAMPLE_MODE, direction, 0, kSampleModeRecordSize, record.data()) == 0
               ? 0
               : -1;
  });
}

int32_t vexdaq_can_sample_rate(int32_t rate, uint8_t input) {
  return api_guard("vexdaq_can_sample_rate", [&]() -> int32_t {
    const bool found = input == 1
                           ? rate_listed(g_device.in_sample_rates, g_device.in_rate_count, rate)
                           : rate_listed(g_device.out_sample_rates, g_device.out_rate_count, rate);
    return found ? 0 : -1;
  });
}

int32_t vexdaq_set_sample_rate(int32_t out_rate, int32_t in_rate) {
  return api_guard("vexdaq_set_sample_rate", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_sample_rate nrate (%d, %d)\r\n", out_rate, in_rate);
    if (!session_usable()) return -1;
    // The core stops a requested stream around the rate and restarts it; the call returns
    // once that is done.
    return post_message(MSG_SAMPLE_RATE, out_rate, in_rate, 0, nullptr) == 0 ? 0 : -1;
  });
}

int32_t vexdaq_get_sample_rate(int32_t *out_rate, int32_t *in_rate) {
  return api_guard("vexdaq_get_sample_rate", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_get_sample_rate out/in (0x%p, 0x%p)\r\n", out_rate,
              in_rate);
    if (!session_usable() || g_stream.core_failed.load() != 0) return -1;
    uint8_t reply[kRateRecordSize] = {};
    uint32_t returned = 0;
    if (!class_in(REQ_SAMPLE_RATE, 0, 0, reply, kRateRecordSize, &returned)) {
      log_print(LogLevel::kEntry, "PIPE0_CLASS_IN Request (0x%.2X) failed, status = 0x%08X.\n",
                REQ_SAMPLE_RATE, platform::last_error());
      return -1;
    }
    // A short reply holds no complete rate pair; reporting half of one would be a made-up rate.
    if (returned < kRateRecordSize) {
      log_print(LogLevel::kEntry, "vexdaq_get_sample_rate short reply (%d bytes)\r\n", returned);
      return -1;
    }
    if (in_rate != nullptr) *in_rate = static_cast<int32_t>(get_le32(&reply[0]));
    if (out_rate != nullptr) *out_rate = static_cast<int32_t>(get_le32(&reply[4]));
    return 0;
  });
}

int32_t vexdaq_get_sample_width(int32_t *width) {
  return api_guard("vexdaq_get_sample_width", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_get_sample_width (0x%p)\r\n", width);
    if (!session_usable()) return -1;
    if (g_stream.core_failed.load() != 0 || !usbio_controller_get_sample_width()) return -2;
    if (width != nullptr) *width = g_device.in_sample_bits.load() / 8;
    return 0;
  });
}

int32_t vexdaq_get_channel_count(int32_t *out_count, int32_t *in_count) {
  return api_guard("vexdaq_get_channel_count", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_get_channel_count out/in (0x%p, 0x%p)\r\n", out_count,
              in_count);
    if (!session_usable()) return -1;
    if (g_stream.core_failed.load() != 0 || !usbio_controller_get_channel_count()) return -2;
    // A count of 0 or less is reported as 2, the value applications of this device have always
    // been given for a side without channels.
    auto reported = [](int32_t count) { return count <= 0 ? 2 : count; };
    if (out_count != nullptr) *out_count = reported(g_device.out_channel_count.load());
    if (in_count != nullptr) *in_count = reported(g_device.in_channel_count.load());
    return 0;
  });
}

int32_t vexdaq_set_input_gear(uint64_t channel_mask, uint8_t force_gear8, uint8_t gear) {
  return api_guard("vexdaq_set_input_gear", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_input_gear 0x%.8x%.8x, %d, %d\r\n",
              static_cast<uint32_t>(channel_mask >> 32), static_cast<uint32_t>(channel_mask),
              force_gear8, gear);
    if (!session_usable()) return -1;
    return post_per_channel(MSG_IN_LEVEL, channel_mask, gear_code(force_gear8, gear));
  });
}

int32_t vexdaq_set_input_icp(uint64_t channel_mask, uint8_t icp) {
  return api_guard("vexdaq_set_input_icp", [&]() -> int32_t {
    log_print(LogLevel::kEntry, "vexdaq_set_input_icp 0x%.8x%.8x, %d\r\n",
              static_cast<uint32_t>(channel_mask >> 32), static_cast<uint32_t>(channel_mask), icp);
    if (!session_usable()) return -1;
    return post_per_channel(MSG_IN_ICP, channel_mask, icp);
  });
}

}  // extern "C"
