// Extensions that report what the device told the library about its streams.
#include <algorithm>

#include "api/api_guard.h"
#include "device/device_state.h"
#include "session/session_state.h"
#include "vexdaq/vexdaq_ext.h"

using vexdaq::g_device;
using vexdaq::g_session;

extern "C" int32_t vexdaq_get_stream_format(uint8_t input, int32_t *sample_bits,
                                            int32_t *channel_count) {
  return vexdaq::api_guard("vexdaq_get_stream_format", [&]() -> int32_t {
    if (g_session.session_token.load() == 0) return -1;
    if (sample_bits != nullptr) {
      *sample_bits = input ? g_device.in_sample_bits.load() : g_device.out_sample_bits.load();
    }
    if (channel_count != nullptr) {
      *channel_count = input ? g_device.in_channel_count.load() : g_device.out_channel_count.load();
    }
    return 0;
  });
}

extern "C" int32_t vexdaq_get_sample_rates(uint8_t input, int32_t *rates, int32_t capacity) {
  return vexdaq::api_guard("vexdaq_get_sample_rates", [&]() -> int32_t {
    if (g_session.session_token.load() == 0 || capacity < 0) return -1;
    if (rates == nullptr && capacity > 0) return -1;
    const int32_t *list = input ? g_device.in_sample_rates : g_device.out_sample_rates;
    const int32_t count = std::clamp(input ? g_device.in_rate_count : g_device.out_rate_count, 0,
                                     vexdaq::kRateListCapacity);
    std::copy_n(list, std::min(count, capacity), rates);
    return count;
  });
}
