// What the panel shows of a channel's losses. One function, so that gaps in the stream can join
// the loss counters here once the library reports them.
#pragma once

#include <cstdint>

#include "vexdaq/vexdaq_ext.h"

namespace vexdaq_panel {

struct ChannelHealth {
  vexdaq_loss_counters loss{};
  // Gaps (missing stretches of the stream) will go here when the library counts them.
};

// The input channel's counters since the library was loaded or last reset; zeros when they
// cannot be read.
ChannelHealth read_channel_health(int channel);

}  // namespace vexdaq_panel
