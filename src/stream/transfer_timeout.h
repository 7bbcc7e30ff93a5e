// How long a transfer may stay outstanding before the stream counts as failed.
#pragma once

#include <cstdint>

namespace vexdaq {

// The floor: a transfer of a fast stream that has not completed within 1500 ms will not.
inline constexpr uint32_t kMinTransferTimeoutMs = 1500;
// The ceiling: even the slowest stream's packet is due well inside an hour.
inline constexpr uint32_t kMaxTransferTimeoutMs = 3600u * 1000u;

// The time-out of one transfer of `packet_frames` frames at `frames_per_second`: three times the
// time the device takes to fill the packet plus 500 ms (a device clock a little slow, a host
// late to post the read), never less than kMinTransferTimeoutMs nor more than
// kMaxTransferTimeoutMs. One 16-bit channel at 100 Hz fills its 256-frame packet in 2.56 s and
// gets 8180 ms. A rate or packet of 0 or less (unknown) gives the floor. Pure.
uint32_t transfer_timeout_ms(int64_t frames_per_second, int32_t packet_frames);

}  // namespace vexdaq
