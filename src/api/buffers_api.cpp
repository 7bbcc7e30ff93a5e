#include "api/api_guard.h"
#include "session/log.h"
#include "stream/channel_tables.h"
#include "vexdaq/vexdaq.h"

using namespace vexdaq;

extern "C" {

int32_t vexdaq_create_buffers(int32_t out_samples, int32_t in_samples) {
  return api_guard("vexdaq_create_buffers", [&] {
    log_print(LogLevel::kEntry, "vexdaq_create_buffers samples (%d, %d)\r\n", out_samples,
              in_samples);
    return create_channel_buffers(out_samples, in_samples);
  });
}

int32_t vexdaq_dispose_buffers(void) {
  return api_guard("vexdaq_dispose_buffers", [&] {
    log_print(LogLevel::kEntry, "vexdaq_dispose_buffers\r\n");
    return dispose_channel_buffers();
  });
}

int32_t vexdaq_set_output_channel(uint64_t channel_mask) {
  return api_guard("vexdaq_set_output_channel", [&] {
    log_print(LogLevel::kEntry, "vexdaq_set_output_channel 0x%.8x%.8x\r\n",
              static_cast<uint32_t>(channel_mask >> 32), static_cast<uint32_t>(channel_mask));
    return set_channel_mask(false, channel_mask);
  });
}

int32_t vexdaq_set_input_channel(uint64_t channel_mask) {
  return api_guard("vexdaq_set_input_channel", [&] {
    log_print(LogLevel::kEntry, "vexdaq_set_input_channel 0x%.8x%.8x\r\n",
              static_cast<uint32_t>(channel_mask >> 32), static_cast<uint32_t>(channel_mask));
    return set_channel_mask(true, channel_mask);
  });
}

}  // extern "C"
