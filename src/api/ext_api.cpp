#include "api/api_guard.h"
#include "core/message.h"
#include "stream/loss_counters.h"
#include "vexdaq/vexdaq_ext.h"

using namespace vexdaq;

extern "C" {

int32_t vexdaq_get_loss_counters(uint8_t input, int32_t channel, vexdaq_loss_counters *out) {
  return api_guard("vexdaq_get_loss_counters",
                   [&] { return get_loss_counters(input != 0, channel, out); });
}

int32_t vexdaq_reset_loss_counters(void) {
  return api_guard("vexdaq_reset_loss_counters", [&] { return reset_loss_counters(); });
}

uint64_t vexdaq_get_dropped_commands(void) {
  return dropped_message_count();
}

}  // extern "C"
