// Where each channel's samples went: the counters behind vexdaq_get_loss_counters.
//
// g_out_loss is guarded by g_stream.out_lock, g_in_loss by g_stream.in_lock: the packers and
// unpackers update them inside the packet they already hold the lock for, so counting costs no
// extra synchronisation. Readers take the same lock.
#pragma once

#include <cstdint>

#include "stream/stream_state.h"
#include "vexdaq/vexdaq_ext.h"

namespace vexdaq {

struct DirectionLoss {
  vexdaq_loss_counters channels[kMaxChannels] = {};
  uint64_t transfer_failures = 0;  // of the direction, whatever was enabled
};

extern DirectionLoss g_out_loss GUARDED_BY(g_stream.out_lock);
extern DirectionLoss g_in_loss GUARDED_BY(g_stream.in_lock);

// Counts one failed transfer of a direction, for the direction and every channel enabled at the
// time. Takes that direction's lock; call with no library lock held.
void count_transfer_failure(bool input);

// The totals (sums over the channels; the direction's failure count). Caller holds the lock.
vexdaq_loss_counters loss_totals(const DirectionLoss &loss);

// The export's work. See vexdaq_ext.h for results.
int32_t get_loss_counters(bool input, int32_t channel, vexdaq_loss_counters *out);
int32_t reset_loss_counters();

}  // namespace vexdaq
