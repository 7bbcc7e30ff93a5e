#include "stream/transfer_timeout.h"

#include <algorithm>

namespace vexdaq {

uint32_t transfer_timeout_ms(int64_t frames_per_second, int32_t packet_frames) {
  if (frames_per_second <= 0 || packet_frames <= 0) return kMinTransferTimeoutMs;
  // packet_frames is at most 512 and the product stays far inside 64 bits.
  const int64_t fill_ms =
      (static_cast<int64_t>(packet_frames) * 1000 + frames_per_second - 1) / frames_per_second;
  const int64_t timeout = 3 * fill_ms + 500;
  return static_cast<uint32_t>(
      std::clamp<int64_t>(timeout, kMinTransferTimeoutMs, kMaxTransferTimeoutMs));
}

}  // namespace vexdaq
