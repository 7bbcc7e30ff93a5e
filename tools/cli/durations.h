// Turning a duration on the command line into a number of frames, refusing what cannot be meant.
#pragma once

#include <cstdint>

namespace vexdaq_cli {

// The longest run a duration may ask for: 10^7 s (about 115 days). Longer, or endless, runs end
// with Ctrl-C (acquire) or use --loop (generate).
constexpr double kMaxDurationSeconds = 1e7;

// Throws CliError(kExitUsage) unless seconds is finite, positive and at most kMaxDurationSeconds.
void check_duration(double seconds);

// The frames `seconds` lasts at `rate` Hz (rate > 0), rounded to the nearest; throws
// CliError(kExitUsage) for a bad duration or one shorter than half a frame.
int64_t frames_for(double seconds, int32_t rate);

}  // namespace vexdaq_cli
