#include "api/api_guard.h"
#include "session/log.h"
#include "session/message_queue.h"
#include "stream/loss_counters.h"
#include "stream/stream_data.h"
#include "stream/stream_timing.h"
#include "stream/transfer_threads.h"
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

int32_t vexdaq_set_transfer_depth(uint8_t input, int32_t depth) {
  return api_guard("vexdaq_set_transfer_depth", [&] {
    if (depth != 0 && (depth < kMinTransferDepth || depth > kMaxTransferDepth)) return -2;
    set_transfer_depth_setting(input != 0, depth);
    return 0;
  });
}

int32_t vexdaq_get_transfer_depth(uint8_t input) {
  return api_guard("vexdaq_get_transfer_depth", [&] { return transfer_depth(input != 0); });
}

int32_t vexdaq_set_transfer_realtime(int32_t enable) {
  return api_guard("vexdaq_set_transfer_realtime", [&] {
    if (enable < 0 || enable > 2) return -2;
    set_transfer_realtime_setting(static_cast<TransferRealtime>(enable));
    return 0;
  });
}

int32_t vexdaq_send_channel_blocks(const uint8_t *source, int32_t bytes, int32_t blocking) {
  return api_guard("vexdaq_send_channel_blocks",
                   [&] { return stream_send_channel_blocks(source, bytes, blocking); });
}

int32_t vexdaq_set_log_directory(const char *directory) {
  return api_guard("vexdaq_set_log_directory",
                   [&] { return set_log_directory(directory) ? 0 : -2; });
}

int32_t vexdaq_get_stream_timing(vexdaq_stream_timing *out) {
  return api_guard("vexdaq_get_stream_timing", [&] { return get_stream_timing(out); });
}

int32_t vexdaq_get_stream_gaps(vexdaq_stream_gap *gaps, int32_t capacity,
                               vexdaq_gap_totals *totals) {
  return api_guard("vexdaq_get_stream_gaps",
                   [&] { return get_stream_gaps(gaps, capacity, totals); });
}

}  // extern "C"
