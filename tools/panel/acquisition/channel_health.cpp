#include "acquisition/channel_health.h"

namespace vexdaq_panel {

ChannelHealth read_channel_health(int channel) {
  ChannelHealth health;
  if (vexdaq_get_loss_counters(1, channel, &health.loss) != 0) health.loss = {};
  return health;
}

}  // namespace vexdaq_panel
