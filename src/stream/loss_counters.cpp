#include "stream/loss_counters.h"

#include "platform/sync.h"
#include "stream/channel_tables.h"

namespace vexdaq {

DirectionLoss g_out_loss;
DirectionLoss g_in_loss;

namespace {

DirectionLoss &loss_of(bool input) {
  return input ? g_in_loss : g_out_loss;
}

}  // namespace

void count_transfer_failure(bool input) {
  platform::MutexLock hold(direction_lock(input));
  DirectionLoss &loss = loss_of(input);
  ChannelSlot *channels = channel_table(input);
  ++loss.transfer_failures;
  const int32_t count = channel_limit(input);
  for (int32_t c = 0; c < count; ++c) {
    if (channels[c].enabled == 1) ++loss.channels[c].transfer_failures;
  }
}

vexdaq_loss_counters loss_totals(const DirectionLoss &loss) {
  vexdaq_loss_counters total{};
  for (const vexdaq_loss_counters &c : loss.channels) {
    total.moved += c.moved;
    total.overwritten += c.overwritten;
    total.zero_filled += c.zero_filled;
    total.dropped += c.dropped;
  }
  total.transfer_failures = loss.transfer_failures;
  return total;
}

int32_t get_loss_counters(bool input, int32_t channel, vexdaq_loss_counters *out) {
  if (g_session.session_token.load() == 0 || out == nullptr) return -1;
  if (channel < VEXDAQ_ALL_CHANNELS || channel >= kMaxChannels) return -2;
  platform::MutexLock hold(direction_lock(input));
  const DirectionLoss &loss = loss_of(input);
  *out = channel == VEXDAQ_ALL_CHANNELS ? loss_totals(loss) : loss.channels[channel];
  return 0;
}

int32_t reset_loss_counters() {
  if (g_session.session_token.load() == 0) return -1;
  for (bool input : {false, true}) {
    platform::MutexLock hold(direction_lock(input));
    loss_of(input) = DirectionLoss{};
  }
  return 0;
}

}  // namespace vexdaq
